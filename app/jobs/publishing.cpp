#include "app/jobs/publishing.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "app/jobs/engine_callbacks.h"
#include "app/jobs/job_host.h"
#include "app/jobs/path_safety.h"

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

// Walks the destination for every item before the first rename and fails
// with the text publishing would meet: a link or a file where a folder is
// needed, a folder or link where a file goes, and, headless, a file that is
// already there. So a refused archive publishes nothing. The guards and the
// moves that follow still decide for themselves; this only moves what the
// destination shows now to before the first rename.
void CheckDestination(const std::wstring& destination, const std::vector<ExtractItem>& items,
                      JobHost& host) {
  // Folders already looked at, and whether each is there; everything below a
  // missing one is made fresh. A folder is only looked at once its parent
  // has been, so a known folder means a known chain: deep trees cost one
  // look per folder, not one per level of every item.
  std::unordered_map<std::wstring, bool> folder_exists;
  for (const ExtractItem& item : items) {
    const std::wstring folder = item.is_folder ? item.relative_path : ParentOf(item.relative_path);
    if (!folder.empty() && !folder_exists.contains(folder)) {
      // Up to the nearest folder already known, then down from there.
      size_t known_end = folder.size();
      bool known_exists = true;
      while (known_end != 0 &&
             (known_end = folder.rfind(L'\\', known_end - 1)) != std::wstring::npos) {
        const auto known = folder_exists.find(folder.substr(0, known_end));
        if (known != folder_exists.end()) {
          known_exists = known->second;
          break;
        }
      }
      for (size_t end = known_end == std::wstring::npos ? 0 : known_end + 1; end <= folder.size();
           ++end) {
        end = std::min(folder.find(L'\\', end), folder.size());
        std::wstring prefix = folder.substr(0, end);
        if (known_exists) {
          const Existing existing = ExistingAt(JoinPath(destination, prefix));
          if (existing == Existing::kFile || existing == Existing::kLink)
            Fail("Reparse points in destination paths are blocked.");
          known_exists = existing != Existing::kNothing;
        }
        folder_exists.emplace(std::move(prefix), known_exists);
      }
    }
    if (item.is_folder) continue;
    const Existing target = ExistingAt(JoinPath(destination, item.relative_path));
    if (target == Existing::kFolder || target == Existing::kLink)
      Fail("Unsafe destination conflict.");
    if (target == Existing::kFile && !host.CanAskUser()) Fail(kInputRequired);
  }
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
  CheckDestination(destination, items, host);
  GuardedFolderTree folders(destination);
  for (const ExtractItem& item : items) {
    if (host.IsCancelRequested()) Fail("Cancelled.");
    const std::wstring target = JoinPath(destination, item.relative_path);
    folders.Guard(item.is_folder ? item.relative_path : ParentOf(item.relative_path));
    if (item.is_folder) continue;
    PublishFile(staging + L'\\' + item.relative_path, target, FileNameOf(item.relative_path), host);
  }
}

}  // namespace cindral
