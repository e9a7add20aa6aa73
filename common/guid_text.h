// Fresh names for the program's temporary items and kernel objects.
#pragma once

#include <string>

namespace cindral {

// A new GUID in registry form: 38 characters, braces, upper-case hexadecimal.
// Throws std::runtime_error when no GUID can be made.
std::wstring NewGuidText();

}  // namespace cindral
