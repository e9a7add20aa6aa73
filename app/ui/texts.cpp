#include "app/ui/texts.h"

namespace cindral {
namespace {

// Decided during static initialisation, so the language is settled before
// the program's entry runs; each start decides anew, nothing is saved.
bool g_dutch_interface = IsDutchLanguage(GetUserDefaultUILanguage());

std::wstring LastPathComponent(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

}  // namespace

bool IsDutchLanguage(LANGID language) { return PRIMARYLANGID(language) == LANG_DUTCH; }

bool IsDutchInterface() { return g_dutch_interface; }
void SetDutchInterface(bool dutch) { g_dutch_interface = dutch; }
void FlipInterfaceLanguage() { g_dutch_interface = !g_dutch_interface; }

const wchar_t* Text(const TextPair& pair) { return g_dutch_interface ? pair.dutch : pair.english; }

std::wstring DropZoneText(const std::vector<std::wstring>& items) {
  if (items.empty()) return Text(kTextDropZoneEmpty);
  if (items.size() == 1) return LastPathComponent(items.front());
  return std::to_wstring(items.size()) + Text(kTextSelectedItemsSuffix);
}

std::wstring CoresAvailableText(size_t processors) {
  return std::to_wstring(processors) + Text(kTextCoresSuffix);
}

}  // namespace cindral
