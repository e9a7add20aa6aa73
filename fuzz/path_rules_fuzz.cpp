// libFuzzer target: the entry-name check and lexical normalisation on
// arbitrary UTF-16 text. A name the check accepts must come back as a safe
// relative path that the check accepts again unchanged and normalisation
// leaves alone; a refusal must carry one of the check's own texts.
// Normalisation must keep to backslashes and, for absolute paths, be
// idempotent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/jobs/path_rules.h"
#include "fuzz/utf16_input.h"

namespace {

bool IsCheckText(const char* text) {
  for (const char* known :
       {"Unsafe or empty archive path.", "Absolute paths and alternate data streams are blocked.",
        "Unsafe archive path component.", "Invalid archive filename.",
        "Windows device names are blocked."})
    if (std::strcmp(text, known) == 0) return true;
  return false;
}

void CheckSafePath(std::wstring_view safe) {
  if (safe.empty() || safe.front() == L'\\' || safe.back() == L'\\') std::abort();
  if (safe.find_first_of(L"/:") != std::wstring_view::npos) std::abort();
  for (size_t start = 0; start <= safe.size();) {
    const size_t end = std::min(safe.find(L'\\', start), safe.size());
    const std::wstring_view component = safe.substr(start, end - start);
    if (component.empty() || component == L"." || component == L"..") std::abort();
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring name = UnitsOf(data, size);
  const std::wstring normal = cindral::NormalizeLexically(name);
  if (normal.find(L'/') != std::wstring::npos) std::abort();
  // Normalising twice changes nothing for the absolute paths it is given. A
  // relative one may differ: "a\..\x:y" leaves "x:y", which reads as a drive.
  const bool absolute = cindral::RootNameLength(name) != 0;
  if (absolute && cindral::NormalizeLexically(normal) != normal) std::abort();

  std::wstring safe;
  try {
    safe = cindral::SanitizeArchivePath(name);
  } catch (const std::runtime_error& refusal) {
    if (!IsCheckText(refusal.what())) std::abort();
    return 0;
  }
  CheckSafePath(safe);
  if (cindral::SanitizeArchivePath(safe) != safe) std::abort();
  if (cindral::NormalizeLexically(safe) != safe) std::abort();
  if (cindral::RootNameLength(safe) != 0) std::abort();
  return 0;
}
