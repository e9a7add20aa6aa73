#include "broker/install_location.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <optional>
#include <vector>

#include "broker/broker_error.h"
#include "common/file_system.h"
#include "common/win_owners.h"

namespace cindral::broker {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool StartsWith(const std::wstring& text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && std::wstring_view(text).substr(0, prefix.size()) == prefix;
}

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Length of the end of the element that starts at from.
size_t ElementEnd(const std::wstring& path, size_t from) {
  while (from < path.size() && !IsSeparator(path[from])) ++from;
  return from;
}

// Length of the root with its separator: "C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\", "\\?\GLOBALROOT\Device\X\".
size_t RootLength(const std::wstring& path) {
  auto drive_root_at = [&](size_t at) -> size_t {
    if (path.size() >= at + 2 && IsDriveLetter(path[at]) && path[at + 1] == L':')
      return at + 2 + (path.size() > at + 2 && IsSeparator(path[at + 2]) ? 1 : 0);
    return 0;
  };
  auto server_share_at = [&](size_t at) -> size_t {
    const size_t server_end = ElementEnd(path, at);
    if (server_end >= path.size()) return path.size();
    const size_t share_end = ElementEnd(path, server_end + 1);
    return share_end + (share_end < path.size() ? 1 : 0);
  };
  if (StartsWith(path, L"\\\\?\\UNC\\")) return server_share_at(8);
  if (StartsWith(path, L"\\\\?\\GLOBALROOT\\")) {
    // \\?\GLOBALROOT\Device\<volume>\ is the root of an NT-named volume.
    const size_t device_end = ElementEnd(path, 15);
    if (device_end >= path.size()) return path.size();
    const size_t volume_end = ElementEnd(path, device_end + 1);
    return volume_end + (volume_end < path.size() ? 1 : 0);
  }
  if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) {
    if (size_t length = drive_root_at(4)) return length;
    const size_t end = ElementEnd(path, 4);
    return end + (end < path.size() ? 1 : 0);
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return server_share_at(2);
  if (size_t length = drive_root_at(0)) return length;
  return (!path.empty() && IsSeparator(path[0])) ? 1 : 0;
}

std::wstring FinalPathOf(HANDLE file, DWORD volume_name) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(),
                                                   static_cast<DWORD>(buffer.size()), volume_name);
    if (length == 0) return {};
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

// The system's DOS-form report without its extended-length prefix, where the
// plain form says the same.
std::wstring PlainDosForm(std::wstring path) {
  if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (StartsWith(path, L"\\\\?\\") && path.size() >= 6 && IsDriveLetter(path[4]) && path[5] == L':')
    return path.substr(4);
  return path;
}

bool IsAbsence(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME || code == ERROR_INVALID_DRIVE;
}

// The final path of an existing file or folder; nothing when it is absent.
std::optional<std::wstring> FinalPath(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    const DWORD code = GetLastError();
    if (IsAbsence(code)) return std::nullopt;
    throw FileSystemFailure("weakly_canonical", code);
  }
  std::wstring final_path = FinalPathOf(file.Get(), VOLUME_NAME_DOS);
  if (!final_path.empty()) return PlainDosForm(final_path);
  if (GetLastError() != ERROR_PATH_NOT_FOUND)
    throw FileSystemFailure("weakly_canonical", GetLastError());
  // A volume without a drive letter is reported by its NT device name.
  final_path = FinalPathOf(file.Get(), VOLUME_NAME_NT);
  if (final_path.empty()) throw FileSystemFailure("weakly_canonical", GetLastError());
  return L"\\\\?\\GLOBALROOT" + final_path;
}

std::vector<std::wstring> SplitElements(const std::wstring& path, size_t from) {
  std::vector<std::wstring> elements;
  while (from < path.size()) {
    const size_t end = ElementEnd(path, from);
    if (end > from) elements.push_back(path.substr(from, end - from));
    from = end + 1;
  }
  return elements;
}

// The existing leading part resolved, the rest appended as written.
std::wstring WeaklyCanonical(const std::wstring& absolute) {
  if (std::optional<std::wstring> whole = FinalPath(absolute)) return *whole;

  const size_t root_length = RootLength(absolute);
  std::wstring root = absolute.substr(0, root_length);
  for (wchar_t& c : root)
    if (c == L'/') c = L'\\';
  std::optional<std::wstring> resolved_root = root.empty() ? std::nullopt : FinalPath(root);
  std::wstring result = resolved_root ? *resolved_root : root;
  bool resolving = resolved_root.has_value();
  std::vector<std::wstring> names;  // the elements after result's own
  for (const std::wstring& element : SplitElements(absolute, root_length)) {
    if (resolving) {
      std::wstring candidate = result;
      if (!candidate.empty() && !IsSeparator(candidate.back())) candidate += L'\\';
      candidate += element;
      if (std::optional<std::wstring> final_path = FinalPath(candidate)) {
        result = *final_path;
        continue;
      }
      resolving = false;
    }
    names.push_back(element);
  }
  // Lexical normalisation of what was appended; the resolved part is final.
  std::vector<std::wstring> kept;
  for (const std::wstring& name : names) {
    if (name == L".") continue;
    if (name == L"..") {
      if (!kept.empty()) {
        kept.pop_back();
      } else {
        const size_t result_root = RootLength(result);
        size_t cut = result.size();
        while (cut > result_root && IsSeparator(result[cut - 1])) --cut;
        while (cut > result_root && !IsSeparator(result[cut - 1])) --cut;
        result.resize(cut);
      }
      continue;
    }
    kept.push_back(name);
  }
  for (const std::wstring& name : kept) {
    if (!result.empty() && !IsSeparator(result.back())) result += L'\\';
    result += name;
  }
  return result;
}

}  // namespace

std::wstring CanonicalPath(const std::wstring& path) {
  return WeaklyCanonical(MakeAbsolutePath(path));
}

std::wstring DropTrailingSeparators(const std::wstring& path) {
  const size_t root_length = RootLength(path);
  size_t end = path.size();
  while (end > root_length && IsSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

std::wstring ProtectedInstallFolder() {
  wchar_t* known = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_ProgramFilesX64, 0, nullptr, &known);
  std::wstring folder = SUCCEEDED(result) && known ? known : L"";
  CoTaskMemFree(known);
  CheckCall(result);
  if (!folder.empty() && !IsSeparator(folder.back())) folder += L'\\';
  return folder + L"DRUV\\Vantle";
}

std::wstring ValidateInstallLocation(const std::wstring& folder) {
  const std::wstring path = DropTrailingSeparators(CanonicalPath(folder));
  if (!EqualIgnoringAsciiCase(path, ProtectedInstallFolder()))
    Refuse(L"Archive integration requires the protected Program Files/DRUV folder.");
  return path;
}

bool EqualIgnoringAsciiCase(const std::wstring& left, const std::wstring& right) {
  if (left.size() != right.size()) return false;
  auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; };
  for (size_t i = 0; i < left.size(); ++i)
    if (fold(left[i]) != fold(right[i])) return false;
  return true;
}

bool SamePathElements(const std::wstring& left, const std::wstring& right) {
  // A leading separator run (a UNC or extended-length start) must match too.
  const bool left_rooted = !left.empty() && IsSeparator(left[0]);
  const bool right_rooted = !right.empty() && IsSeparator(right[0]);
  return left_rooted == right_rooted && SplitElements(left, 0) == SplitElements(right, 0);
}

}  // namespace cindral::broker
