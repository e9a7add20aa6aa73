#include "shell/command_title.h"

#include "common/archive_names.h"

namespace cindral {

Language LanguageOfUserInterface(LANGID language) {
  return PRIMARYLANGID(language) == LANG_DUTCH ? Language::kDutch : Language::kEnglish;
}

std::wstring PackTitle(const std::vector<std::wstring>& paths, FirstItem first, Language language) {
  const bool dutch = language == Language::kDutch;
  if (paths.empty()) return dutch ? L"Inpakken als ZIP" : L"Add to ZIP";

  std::wstring_view name;
  if (paths.size() == 1) {
    const PathNameParts parts = SplitPathName(paths.front());
    name = first == FirstItem::kRealFolder ? parts.name : parts.stem;
  } else {
    name = ParentFolderName(paths.front());
  }
  std::wstring title = dutch ? L"Toevoegen aan \"" : L"Add to \"";
  title += name;
  title += L".zip\"";
  return title;
}

std::wstring ExtractTitle(Language language) {
  return language == Language::kDutch ? L"Hier uitpakken" : L"Extract here";
}

bool ShowsExtract(const std::vector<std::wstring>& paths, size_t item_count) {
  if (item_count == 0 || paths.size() != item_count) return false;
  for (const std::wstring& path : paths) {
    if (!IsSupportedArchiveName(path)) return false;
  }
  return true;
}

}  // namespace cindral
