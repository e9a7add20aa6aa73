// Which files the program offers to extract, decided by name alone.
#pragma once

#include <string_view>

namespace cindral {

// True when the extension of the path's last component, lowered for ASCII
// letters, is ".zip" or ".7z". Never touches the disk.
bool IsSupportedArchiveName(std::wstring_view path);

// A path's last component as new archives are named after it: name is all
// of it, stem is the name without an alternate data stream's part and
// without the extension (from the last dot, unless that dot leads the name).
struct PathNameParts {
  std::wstring_view name;
  std::wstring_view stem;
};
PathNameParts SplitPathName(std::wstring_view path);

// The name of the folder that holds path; empty when that folder is a root
// (a drive such as C:\ or a share).
std::wstring_view ParentFolderName(std::wstring_view path);

}  // namespace cindral
