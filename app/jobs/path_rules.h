// The path rules that need no file system: how entry names are judged and
// how paths are normalised. Portable, so they are fuzzed natively too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cindral {

// The length of an absolute path's root name: "C:", "\\server\share", or one
// of those behind the extended-length prefixes ("\\?\C:", "\\?\UNC\server\share",
// also "\\?\Volume{...}"). 0 for a path without one.
size_t RootNameLength(std::wstring_view path);

// Lexical normalisation that keeps UNC and extended-length roots intact (the
// standard library's folds the leading "\\" of a UNC path into one, which
// turns \\server\share into a folder on the current drive): forward slashes
// become backslashes, repeated separators and "." go, ".." removes the
// component before it and never climbs above the root. Never touches the disk.
std::wstring NormalizeLexically(std::wstring path);

// Checks one entry name as the archive reports it and returns it as a safe
// relative path with backslashes, or throws std::runtime_error with one of
// "Unsafe or empty archive path.", "Absolute paths and alternate data streams
// are blocked.", "Unsafe archive path component.", "Invalid archive
// filename." or "Windows device names are blocked.".
std::wstring SanitizeArchivePath(std::wstring name);

}  // namespace cindral
