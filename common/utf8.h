// Failure texts travel in std::exception, whose what() is narrow. They are
// UTF-8 from where they are made to where the user reads them, so a path with
// any character, in or beyond the Basic Multilingual Plane, survives.
#pragma once

#include <string>
#include <string_view>

namespace cindral {

// Unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// Malformed sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);

}  // namespace cindral
