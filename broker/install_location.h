// The one install folder the broker accepts: "Vantle" in "DRUV" in the 64-bit
// Program Files folder. Whatever lies in the registered folder speaks for the
// package identity, so the folder argument is resolved through every link
// before it is compared.
#pragma once

#include <string>

namespace cindral::broker {

// The path made absolute and then weakly canonical: the longest existing
// leading part replaced by its final path as the file system reports it
// (links, junctions, short names and letter case resolved), the rest appended
// and normalised lexically. Fails with "absolute: ..." or
// "weakly_canonical: ..." file-system errors.
std::wstring CanonicalPath(const std::wstring& path);

// The path with trailing separators dropped, unless it is a root ("C:\",
// "\\server\share\").
std::wstring DropTrailingSeparators(const std::wstring& path);

// The protected install folder as the system names it, not made canonical.
std::wstring ProtectedInstallFolder();

// The canonical form of folder, without trailing separators, when it is the
// protected install folder (compared ignoring ASCII letter case only);
// otherwise refuses.
std::wstring ValidateInstallLocation(const std::wstring& folder);

// Compares as _wcsicmp does in the "C" locale: only A to Z fold.
bool EqualIgnoringAsciiCase(const std::wstring& left, const std::wstring& right);

// Whether two paths name the same elements in the same letter case, with any
// run of '\' or '/' equal to any other.
bool SamePathElements(const std::wstring& left, const std::wstring& right);

}  // namespace cindral::broker
