// Command-line quoting for every process the program or the shell extension starts.
#pragma once

#include <string>
#include <string_view>

namespace cindral {

// Encloses text in quotation marks so that CommandLineToArgvW gives back
// exactly text, whatever blanks, quotation marks and backslashes it holds.
std::wstring QuoteCommandLineArgument(std::wstring_view text);

}  // namespace cindral
