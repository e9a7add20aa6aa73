#include "common/command_line.h"

namespace cindral {

// Backslashes are literal except before a quotation mark, where each pair
// stands for one backslash; so only runs that end at a quotation mark or at
// the closing quote need doubling.
std::wstring QuoteCommandLineArgument(std::wstring_view text) {
  std::wstring quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back(L'"');
  size_t backslashes = 0;
  for (const wchar_t unit : text) {
    if (unit == L'\\') {
      ++backslashes;
      continue;
    }
    if (unit == L'"') {
      quoted.append(2 * backslashes + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted.push_back(unit);
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

}  // namespace cindral
