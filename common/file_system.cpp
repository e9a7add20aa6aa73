#include "common/file_system.h"

#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "common/win_owners.h"

namespace cindral {

std::runtime_error FileSystemFailure(const char* operation, DWORD code) {
  LocalMemory<wchar_t> text;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(text.Put()), 0, nullptr);
  std::string message = std::string(operation) + ": ";
  if (length != 0 && text) {
    std::wstring_view system_text(text.Get(), length);
    while (!system_text.empty() && (system_text.back() == L'\n' || system_text.back() == L'\r'))
      system_text.remove_suffix(1);
    message += Utf8FromWide(system_text);
  } else {
    message += "error " + std::to_string(code);
  }
  return std::runtime_error(message);
}

std::wstring MakeAbsolutePath(const std::wstring& path) {
  if (path.empty()) return path;
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) throw FileSystemFailure("absolute", GetLastError());
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length);
  }
}

std::filesystem::path TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH)
    throw FileSystemFailure("temp_directory_path", GetLastError());
  const DWORD attributes = GetFileAttributesW(buffer);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    throw FileSystemFailure("temp_directory_path", GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    throw FileSystemFailure("temp_directory_path", ERROR_DIRECTORY);
  return std::filesystem::path(std::wstring(buffer, length));
}

void RemoveFileIfPresent(const std::filesystem::path& path) {
  if (DeleteFileW(path.c_str())) return;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
  throw FileSystemFailure("remove", code);
}

}  // namespace cindral
