// The Explorer commands' titles, decided from plain values so that both
// languages can be checked without a Dutch system.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace cindral {

enum class CommandKind : unsigned char {
  kExtract = 0,
  kPack = 1,
};

enum class Language {
  kEnglish,
  kDutch,
};

// Dutch for every sublanguage of Dutch; English for everything else.
Language LanguageOfUserInterface(LANGID language);

// The first selected item's nature, which decides between its whole name and
// its stem when it is the only one.
enum class FirstItem {
  kFileOrArchive,
  kRealFolder,  // a folder, but not a ZIP file that the shell shows as one
};

// The pack command's title for the file-system paths of a selection: it names
// the archive that packing would make, before any numbering.
std::wstring PackTitle(const std::vector<std::wstring>& paths, FirstItem first, Language language);

std::wstring ExtractTitle(Language language);

// Whether the extract command offers itself: every item has a path and every
// path names a ZIP or 7z archive. item_count counts items with and without one.
bool ShowsExtract(const std::vector<std::wstring>& paths, size_t item_count);

}  // namespace cindral
