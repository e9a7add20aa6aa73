// Which files the program offers to extract, decided by name alone.
#pragma once

#include <string_view>

namespace cindral {

// True when the extension of the path's last component, lowered for ASCII
// letters, is ".zip" or ".7z". Never touches the disk.
bool IsSupportedArchiveName(std::wstring_view path);

}  // namespace cindral
