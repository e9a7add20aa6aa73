// The 7z ArchiveReader.
#pragma once

#include <memory>
#include <stdexcept>

#include "engine/format/archive.h"

namespace cindral::format::sevenz {

// Open's failure when the headers are encrypted and the password is missing
// or wrong; every other failure of Open is a plain OpenError.
struct WrongPasswordError : OpenError {
  WrongPasswordError() : OpenError("wrong password") {}
};

// Throws OpenError (or WrongPasswordError) when source is not a usable 7z
// archive. passwords is asked only when the headers are encrypted.
// Item::packed_size: the first file of a folder carries the folder's packed
// size, the others 0; files without data have 0.
std::unique_ptr<ArchiveReader> OpenSevenZip(std::shared_ptr<ArchiveSource> source,
                                            PasswordSource& passwords);

}  // namespace cindral::format::sevenz
