#include "app/jobs/publishing.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "app/jobs/engine_callbacks.h"
#include "app/jobs/job_host.h"
#include "app/jobs/path_safety.h"

namespace cindral {
namespace {

constexpr unsigned kMaxAttempts = 100000;

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

std::wstring ParentOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
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
    if (!answer)
      Fail(
          "Input required. Open this archive in Cindral to choose a password or resolve a "
          "conflict.");

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
  // Every folder an item lands in stays held until publishing ends, each
  // guarded once, the first time an item needs it: no folder on the way can
  // be swapped for a link between its check and the moves into it.
  GuardedFolderTree folders(destination);
  for (const ExtractItem& item : items) {
    if (host.IsCancelRequested()) Fail("Cancelled.");
    const std::wstring target = destination.ends_with(L'\\')
                                    ? destination + item.relative_path
                                    : destination + L'\\' + item.relative_path;
    folders.Guard(item.is_folder ? item.relative_path : ParentOf(item.relative_path));
    if (item.is_folder) continue;
    PublishFile(staging + L'\\' + item.relative_path, target, FileNameOf(item.relative_path), host);
  }
}

}  // namespace cindral
