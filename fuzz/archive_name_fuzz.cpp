// libFuzzer target: the archive-name rule and the name splitting new
// archives are named by, on arbitrary UTF-16 text. Names and stems are
// pieces of the path they came from, and only names ending in .zip or .7z
// (any ASCII case) after something more than the dot are offered for
// extraction.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/archive_names.h"
#include "fuzz/utf16_input.h"

namespace {

bool IsInside(std::wstring_view piece, std::wstring_view whole) {
  return piece.empty() || (piece.data() >= whole.data() &&
                           piece.data() + piece.size() <= whole.data() + whole.size());
}

bool EndsWithAsciiCaseless(std::wstring_view text, std::wstring_view lower_suffix) {
  if (text.size() < lower_suffix.size()) return false;
  const std::wstring_view tail = text.substr(text.size() - lower_suffix.size());
  return std::equal(tail.begin(), tail.end(), lower_suffix.begin(), [](wchar_t a, wchar_t b) {
    return (a >= L'A' && a <= L'Z' ? a - L'A' + L'a' : a) == b;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring path = UnitsOf(data, size);
  const cindral::PathNameParts parts = cindral::SplitPathName(path);
  if (!IsInside(parts.name, path) || !IsInside(parts.stem, parts.name)) std::abort();
  if (parts.name.find_first_of(L"\\/") != std::wstring_view::npos) std::abort();
  if (!IsInside(cindral::ParentFolderName(path), path)) std::abort();

  // An alternate data stream's part does not count: "a.zip:s" names a.zip.
  const std::wstring_view name = parts.name.substr(0, parts.name.find(L':'));
  const bool supported = cindral::IsSupportedArchiveName(path);
  const bool by_suffix = (name.size() > 4 && EndsWithAsciiCaseless(name, L".zip")) ||
                         (name.size() > 3 && EndsWithAsciiCaseless(name, L".7z"));
  if (supported != by_suffix) std::abort();
  return 0;
}
