#include "app/jobs/publishing.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "app/jobs/engine_callbacks.h"
#include "app/jobs/job_host.h"
#include "app/jobs/path_safety.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

constexpr unsigned kMaxAttempts = 100000;
constexpr const char* kInputRequired =
    "Input required. Open this archive in Cindral to choose a password or resolve a conflict.";

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

std::wstring ParentOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& relative) {
  return folder.ends_with(L'\\') ? folder + relative : folder + L'\\' + relative;
}

enum class Existing { kNothing, kFolder, kFile, kLink, kUnknown };

Existing ExistingAt(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(MakeLongPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Existing::kNothing
                                                                          : Existing::kUnknown;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Existing::kLink;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Existing::kFolder : Existing::kFile;
}

// A relative path as Windows compares names, so that "Dir" and "dir" are
// one folder here as they are on disk. The simple upper-case mapping keeps
// every unit in its place: a prefix of the folded path is the folded prefix.
std::wstring FoldCase(std::wstring_view path) {
  std::wstring folded(path);
  const int length = static_cast<int>(path.size());
  if (length == 0 || LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.data(), length,
                                   folded.data(), length, nullptr, nullptr, 0) != length)
    return std::wstring(path);
  return folded;
}

// What publishing knows of a folder below the destination.
enum class FolderState {
  kPresent,   // there before publishing, or unreadable: its items arrive one by one
  kMissing,   // not there: the staged folder can arrive whole, in one rename
  kMoved,     // arrived whole, with everything below it
  kOneByOne,  // not there, but its items arrive one by one
};

// By folded relative path; every folder on the way to an item has its entry.
using FolderStates = std::unordered_map<std::wstring, FolderState>;

// The topmost folder of a folded chain that was not in the destination.
struct FirstAbsent {
  FolderState* state = nullptr;
  size_t length = 0;  // of its relative path
};

FirstAbsent FindFirstAbsent(const std::wstring& folded, FolderStates& states) {
  for (size_t end = 0; end < folded.size(); ++end) {
    end = std::min(folded.find(L'\\', end), folded.size());
    const auto found = states.find(folded.substr(0, end));
    if (found != states.end() && found->second != FolderState::kPresent)
      return {&found->second, end};
  }
  return {};
}

// Looks at every folder of the chain not looked at before and answers
// whether the folder itself is there. A folder is only looked at once its
// parent has been, so a known folder means a known chain: deep trees cost
// one look per folder, not one per level of every item, and nothing below a
// missing folder is looked at.
bool SurveyFolder(const std::wstring& destination, const std::wstring& folder,
                  const std::wstring& folded, FolderStates& states) {
  if (folder.empty()) return true;
  if (const auto known = states.find(folded); known != states.end())
    return known->second == FolderState::kPresent;
  // Up to the nearest folder already known, then down from there.
  size_t known_end = folded.size();
  bool present = true;
  while (known_end != 0 && (known_end = folded.rfind(L'\\', known_end - 1)) != std::wstring::npos) {
    const auto known = states.find(folded.substr(0, known_end));
    if (known != states.end()) {
      present = known->second == FolderState::kPresent;
      break;
    }
  }
  for (size_t end = known_end == std::wstring::npos ? 0 : known_end + 1; end <= folded.size();
       ++end) {
    end = std::min(folded.find(L'\\', end), folded.size());
    if (present) {
      const Existing existing = ExistingAt(JoinPath(destination, folder.substr(0, end)));
      if (existing == Existing::kFile || existing == Existing::kLink)
        Fail("Reparse points in destination paths are blocked.");
      present = existing != Existing::kNothing;
    }
    states.emplace(folded.substr(0, end), present ? FolderState::kPresent : FolderState::kMissing);
  }
  return present;
}

// Walks the destination for every item before the first rename and fails
// with the text publishing would meet: a link or a file where a folder is
// needed, a folder or link where a file goes, and, headless, a file that is
// already there. So a refused archive publishes nothing. The guards and the
// renames that follow still decide for themselves; this only moves what the
// destination shows now to before the first rename. It also decides which
// missing folders may arrive whole: only those whose every item was staged,
// so that an item the engine never finished still fails its own rename.
FolderStates SurveyDestination(const std::wstring& destination,
                               const std::vector<ExtractItem>& items, JobHost& host) {
  FolderStates states;
  for (const ExtractItem& item : items) {
    const std::wstring folder = item.is_folder ? item.relative_path : ParentOf(item.relative_path);
    const std::wstring folded = FoldCase(folder);
    const bool folder_present = SurveyFolder(destination, folder, folded, states);
    if (!item.staged) {
      const FirstAbsent absent = FindFirstAbsent(folded, states);
      if (absent.state != nullptr) *absent.state = FolderState::kOneByOne;
    }
    // Nothing stands in a folder that is not there.
    if (item.is_folder || !folder_present) continue;
    const Existing target = ExistingAt(JoinPath(destination, item.relative_path));
    if (target == Existing::kFolder || target == Existing::kLink)
      Fail("Unsafe destination conflict.");
    if (target == Existing::kFile && !host.CanAskUser()) Fail(kInputRequired);
  }
  return states;
}

// The staged folder itself, open for renaming, or nothing unless it is a
// plain folder. Wine shows a Unix link as a reparse point by path only; on
// Windows the handle's answer is the one that counts.
UniqueHandle OpenStagedFolder(const std::wstring& path) {
  const std::wstring long_path = MakeLongPath(path);
  const DWORD attributes = GetFileAttributesW(long_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY)
    return UniqueHandle();
  UniqueHandle folder(CreateFileW(
      long_path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder || !IsPlainFolder(folder.Get())) return UniqueHandle();
  return folder;
}

// Moves a staged folder with everything below it into the destination by one
// rename: complete, since the whole archive was, and nothing of it was there
// to conflict with. It lands only inside its guarded parent and never
// replaces anything; whatever stops it, its items are published one by one.
bool MoveFolderWhole(const std::wstring& staging, const std::wstring& relative,
                     GuardedFolderTree& folders) {
  const size_t separator = relative.rfind(L'\\');
  const HANDLE parent = folders.Guard(separator == std::wstring::npos
                                          ? std::wstring_view()
                                          : std::wstring_view(relative).substr(0, separator));
  const UniqueHandle staged = OpenStagedFolder(JoinPath(staging, relative));
  if (!staged) return false;
  LONG status = 0;
  return RenameIntoFolder(staged.Get(), parent, std::wstring_view(relative).substr(separator + 1),
                          status);
}

// True when the item arrived, or arrives now, with a whole folder above it
// (or, for a folder item, with itself).
bool ArrivesWithItsFolder(const std::wstring& staging, const std::wstring& folder,
                          GuardedFolderTree& folders, FolderStates& states) {
  const FirstAbsent absent = FindFirstAbsent(FoldCase(folder), states);
  if (absent.state == nullptr) return false;
  if (*absent.state == FolderState::kMissing) {
    const bool moved = MoveFolderWhole(staging, folder.substr(0, absent.length), folders);
    *absent.state = moved ? FolderState::kMoved : FolderState::kOneByOne;
  }
  return *absent.state == FolderState::kMoved;
}

std::wstring FileNameOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L'\\');
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// Moves one staged file to target, asking about every name that is taken.
void PublishFile(const std::wstring& source, std::wstring target, const std::wstring& file_name,
                 JobHost& host) {
  const std::wstring long_source = MakeLongPath(source);
  bool replace = false;
  for (unsigned attempt = 0; attempt < kMaxAttempts; ++attempt) {
    const std::wstring long_target = MakeLongPath(target);
    if (MoveFileExW(long_source.c_str(), long_target.c_str(), MOVEFILE_WRITE_THROUGH)) return;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
      Fail("Cannot publish extracted file.");

    // Only a plain file may ever be replaced: a folder, link or junction in
    // the way is left alone.
    const DWORD attributes = GetFileAttributesW(long_target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
      Fail("Unsafe destination conflict.");
    if (replace) {
      if (!ReplaceFileW(long_target.c_str(), long_source.c_str(), nullptr, 0, nullptr, nullptr))
        Fail("Cannot replace destination file.");
      return;
    }
    const std::optional<PromptAnswer> answer = host.AskConflict(target);
    if (!answer) Fail(kInputRequired);

    switch (*answer) {
      case PromptAnswer::Skip:
        return;
      case PromptAnswer::KeepBoth:
        target = ParentOf(target) + L'\\' + NumberedName(file_name, attempt + 1);
        break;
      case PromptAnswer::Replace:
        replace = true;
        break;
      default:
        Fail("Cancelled.");
    }
  }
}

}  // namespace

std::wstring NumberedName(const std::wstring& file_name, unsigned number) {
  const size_t dot = file_name.find_last_of(L'.');
  const bool has_extension = dot != std::wstring::npos && dot != 0;
  const std::wstring stem = has_extension ? file_name.substr(0, dot) : file_name;
  const std::wstring extension = has_extension ? file_name.substr(dot) : std::wstring();
  return stem + L" (" + std::to_wstring(number) + L")" + extension;
}

void PublishExtractedItems(const std::wstring& destination, const std::wstring& staging,
                           const std::vector<ExtractItem>& items, JobHost& host) {
  // The folder an item lands in and its chain are held while the item moves
  // there: no folder on the way can be swapped for a link between its check
  // and the move into it.
  FolderStates states = SurveyDestination(destination, items, host);
  GuardedFolderTree folders(destination);
  for (const ExtractItem& item : items) {
    if (host.IsCancelRequested()) Fail("Cancelled.");
    const std::wstring folder = item.is_folder ? item.relative_path : ParentOf(item.relative_path);
    if (ArrivesWithItsFolder(staging, folder, folders, states)) continue;
    const std::wstring target = JoinPath(destination, item.relative_path);
    folders.Guard(folder);
    if (item.is_folder) continue;
    PublishFile(staging + L'\\' + item.relative_path, target, FileNameOf(item.relative_path), host);
  }
}

}  // namespace cindral
