// Reading ZIP archives: PKWARE's layout with Zip64, Info-ZIP's and WinZip's
// extra fields, traditional and WinZip AES encryption.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

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

// Throws OpenError when source holds no usable ZIP (the text says why, e.g.
// "split archives are not supported").
std::unique_ptr<ArchiveReader> OpenZip(std::shared_ptr<ArchiveSource> source,
                                       LocalTimeToFiletime local_time = {});

}  // namespace cindral::format::zip
