// Reading ZIP archives: PKWARE's layout with Zip64, Info-ZIP's and WinZip's
// extra fields, traditional and WinZip AES encryption.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/format/archive.h"

namespace cindral::format::zip {

// DOS timestamps carry no time zone and are local time where they were made.
// The host converts one (month 1-12, day 1-31, second 0-59) to a FILETIME with
// its own time-zone rules.
using LocalTimeToFiletime =
    std::function<uint64_t(int year, int month, int day, int hour, int minute, int second)>;

// The FILETIME of a civil time taken as UTC: the conversion used when the host
// gives none.
uint64_t UtcToFiletime(int year, int month, int day, int hour, int minute, int second);

// Names without the UTF-8 flag that are not UTF-8 either are in the OEM code
// page of the machine that wrote them. The host decodes them with its own OEM
// code page; without one they are read as code page 437.
using OemTextDecoder = std::function<std::u16string(std::string_view bytes)>;

// IBM code page 437, the ZIP format's original character set.
std::u16string DecodeCp437(std::string_view bytes);

// Throws OpenError when source holds no usable ZIP (the text says why), or
// SplitArchive for one volume of a split archive.
std::unique_ptr<ArchiveReader> OpenZip(std::shared_ptr<ArchiveSource> source,
                                       LocalTimeToFiletime local_time = {},
                                       OemTextDecoder oem_text = {});

}  // namespace cindral::format::zip
