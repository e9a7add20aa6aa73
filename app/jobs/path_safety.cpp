#include "app/jobs/path_safety.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/file_system.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

constexpr size_t kLongestArchivePath = 32699;
constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kUncPrefix = L"\\\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

[[noreturn]] void Refuse(const char* message) { throw std::runtime_error(message); }

// The root name of an absolute path: "C:", "\\server\share", or one of those
// behind the extended-length prefixes ("\\?\C:", "\\?\UNC\server\share",
// also "\\?\Volume{...}"). 0 for a path without one.
size_t RootNameLength(std::wstring_view path) {
  size_t position = 0;
  int components = 0;
  if (path.starts_with(kLongUncPrefix)) {
    position = kLongUncPrefix.size();
    components = 2;
  } else if (path.starts_with(kLongPrefix)) {
    position = kLongPrefix.size();
    components = 1;
  } else if (path.starts_with(kUncPrefix)) {
    position = kUncPrefix.size();
    components = 2;
  } else {
    return path.size() >= 2 && path[1] == L':' ? 2 : 0;
  }
  for (int index = 0;; ++index) {
    const size_t separator = path.find(L'\\', position);
    if (separator == std::wstring_view::npos) return path.size();
    if (index + 1 == components) return separator;
    position = separator + 1;
  }
}

std::wstring AbsoluteNormalPath(const std::wstring& path) {
  return NormalizeLexically(MakeAbsolutePath(path));
}

bool IsReservedCharacter(wchar_t unit) {
  return unit == L'<' || unit == L'>' || unit == L'"' || unit == L'|' || unit == L'?' ||
         unit == L'*';
}

bool IsDeviceDigit(wchar_t unit) {
  return (unit >= L'0' && unit <= L'9') || unit == L'\u00B9' || unit == L'\u00B2' ||
         unit == L'\u00B3';
}

// Only the ASCII letters change, as the C locale's toupper does; a locale
// that also folded other letters would refuse names Windows accepts.
wchar_t UpperAscii(wchar_t unit) {
  return unit >= L'a' && unit <= L'z' ? unit - L'a' + L'A' : unit;
}

bool IsDeviceName(std::wstring_view component) {
  // Windows drops the spaces before the extension when it looks for a
  // device: "CON .txt" and "nul  .tar.gz" open the device too.
  std::wstring base(component.substr(0, component.find(L'.')));
  base.erase(base.find_last_not_of(L' ') + 1);
  std::transform(base.begin(), base.end(), base.begin(), UpperAscii);
  constexpr std::array<std::wstring_view, 6> kDevices = {L"CON", L"PRN",    L"AUX",
                                                         L"NUL", L"CONIN$", L"CONOUT$"};
  if (std::find(kDevices.begin(), kDevices.end(), base) != kDevices.end()) return true;
  if (base.size() != 4 || !IsDeviceDigit(base[3])) return false;
  const std::wstring_view stem = std::wstring_view(base).substr(0, 3);
  return stem == L"COM" || stem == L"LPT";
}

void CheckComponent(std::wstring_view component) {
  if (component.empty() || component == L"." || component == L"..")
    Refuse("Unsafe archive path component.");
  if (component.back() == L'.' || component.back() == L' ')
    Refuse("Unsafe archive path component.");
  for (const wchar_t unit : component) {
    if (IsReservedCharacter(unit) || unit < 0x20) Refuse("Invalid archive filename.");
  }
  if (IsDeviceName(component)) Refuse("Windows device names are blocked.");
}

}  // namespace

std::wstring NormalizeLexically(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  const size_t root_length = RootNameLength(path);
  const bool rooted = root_length < path.size() && path[root_length] == L'\\';
  std::vector<std::wstring_view> components;
  const std::wstring_view rest = std::wstring_view(path).substr(root_length);
  for (size_t start = 0; start < rest.size();) {
    const size_t separator = std::min(rest.find(L'\\', start), rest.size());
    const std::wstring_view component = rest.substr(start, separator - start);
    start = separator + 1;
    if (component.empty() || component == L".") continue;
    if (component == L".." && !components.empty() && components.back() != L"..") {
      components.pop_back();
    } else if (component != L".." || !rooted) {
      components.push_back(component);
    }
  }
  std::wstring normal = path.substr(0, root_length);
  if (rooted) normal.push_back(L'\\');
  for (size_t index = 0; index < components.size(); ++index) {
    if (index != 0) normal.push_back(L'\\');
    normal.append(components[index]);
  }
  return normal;
}

namespace {

// Removes a file, or a link or junction itself, and answers false; for a
// plain folder lists its children into children and answers true, leaving
// the folder for when they are gone. A path that is not there answers false.
bool RemoveOrList(const std::wstring& long_path, std::vector<std::wstring>& children) {
  const DWORD attributes = GetFileAttributesW(long_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesW(long_path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileW(long_path.c_str());
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    RemoveDirectoryW(long_path.c_str());
    return false;
  }
  WIN32_FIND_DATAW found{};
  UniqueFind find(FindFirstFileExW((long_path + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0));
  if (find) {
    do {
      const std::wstring_view name = found.cFileName;
      if (name != L"." && name != L"..") children.emplace_back(name);
    } while (FindNextFileW(find.Get(), &found));
  }
  return true;
}

}  // namespace

// Depth first without recursion: entry names allow trees thousands of levels
// deep, more than a thread's stack holds frames for. One path is grown and
// cut back as the walk goes down and up.
void RemoveTreeQuietly(const std::wstring& long_path) noexcept {
  struct Folder {
    size_t path_length;
    std::vector<std::wstring> children;  // not yet removed
  };
  try {
    std::wstring path = long_path;
    std::vector<Folder> folders;
    std::vector<std::wstring> children;
    if (!RemoveOrList(path, children)) return;
    folders.push_back({path.size(), std::move(children)});
    while (!folders.empty()) {
      Folder& folder = folders.back();
      path.resize(folder.path_length);
      if (folder.children.empty()) {
        RemoveDirectoryW(path.c_str());
        folders.pop_back();
        continue;
      }
      path += L'\\';
      path += folder.children.back();
      folder.children.pop_back();
      children.clear();
      if (RemoveOrList(path, children)) folders.push_back({path.size(), std::move(children)});
    }
  } catch (...) {
    // Out of memory while listing: what is left stays.
  }
}

std::wstring MakeLongPath(const std::wstring& path) {
  const std::wstring normal = AbsoluteNormalPath(path);
  // GetFullPathNameW turns a path whose last name is a device ("dir\CON",
  // "dir\CON .txt") into the device itself; a file path must never become
  // one, and the UNC branch below would take "\\.\CON" for a server.
  for (const std::wstring_view prefix : {kDevicePrefix, kLongPrefix}) {
    std::wstring start = path.substr(0, prefix.size());
    std::replace(start.begin(), start.end(), L'/', L'\\');
    if (normal.starts_with(prefix) && start != prefix) Refuse("Windows device names are blocked.");
  }
  if (normal.starts_with(kLongPrefix)) return normal;
  if (normal.starts_with(kUncPrefix)) return std::wstring(kLongUncPrefix) + normal.substr(2);
  return std::wstring(kLongPrefix) + normal;
}

std::wstring SanitizeArchivePath(std::wstring name) {
  if (name.empty() || name.size() > kLongestArchivePath) Refuse("Unsafe or empty archive path.");
  std::replace(name.begin(), name.end(), L'/', L'\\');
  if (name.front() == L'\\' || name.find(L':') != std::wstring::npos)
    Refuse("Absolute paths and alternate data streams are blocked.");

  std::wstring safe;
  safe.reserve(name.size());
  size_t start = 0;
  for (;;) {
    const size_t separator = std::min(name.find(L'\\', start), name.size());
    const std::wstring_view component = std::wstring_view(name).substr(start, separator - start);
    CheckComponent(component);
    if (!safe.empty()) safe.push_back(L'\\');
    safe.append(component);
    start = separator + 1;
    // One separator at the very end marks a directory entry, nothing more.
    if (start >= name.size()) break;
  }
  return safe;
}

HeldDirectories& HeldDirectories::operator=(HeldDirectories&& other) noexcept {
  if (this != &other) {
    CloseAll();
    handles_ = std::move(other.handles_);
    other.handles_.clear();
  }
  return *this;
}

HeldDirectories::~HeldDirectories() { CloseAll(); }

void HeldDirectories::CloseAll() {
  for (UniqueHandle& handle : handles_) handle.Reset();
  handles_.clear();
}

void GuardDirectory(const std::wstring& directory, MissingFolder missing, HeldDirectories& held) {
  const std::wstring long_path = MakeLongPath(directory);
  // Wine shows a Unix symbolic link as a reparse point only here, not through
  // the handle; on Windows the handle check below is the one that counts,
  // since the path may be swapped between the two. A volume root is never a
  // link, but Wine reports Z:\ (its link to the Unix root) as one.
  const DWORD attributes = GetFileAttributesW(long_path.c_str());
  const bool volume_root = RootNameLength(long_path) + 1 >= long_path.size();
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (missing == MissingFolder::kCreate && !CreateDirectoryW(long_path.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      Refuse("Cannot create destination directory.");
  } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !volume_root) {
    Refuse("Reparse points in destination paths are blocked.");
  }

  // No delete sharing: while the handle is open the directory can be neither
  // deleted nor moved. A reparse point is opened itself, never followed.
  UniqueHandle handle(CreateFileW(
      long_path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) Refuse("Cannot lock destination directory.");

  FILE_ATTRIBUTE_TAG_INFO info = {};
  const bool queried =
      GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &info, sizeof(info));
  const DWORD kind =
      info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  if (!queried || kind != FILE_ATTRIBUTE_DIRECTORY)
    Refuse("Reparse points in destination paths are blocked.");
  held.Add(std::move(handle));
}

void GuardDirectoryChain(const std::wstring& path, MissingFolder missing, HeldDirectories& held) {
  const std::wstring normal = AbsoluteNormalPath(path);
  const size_t root_length = RootNameLength(normal);
  std::wstring current = normal.substr(0, root_length) + L"\\";
  GuardDirectory(current, missing, held);

  for (size_t start = root_length + 1; start < normal.size();) {
    const size_t separator = std::min(normal.find(L'\\', start), normal.size());
    if (!current.ends_with(L'\\')) current.push_back(L'\\');
    current.append(normal, start, separator - start);
    GuardDirectory(current, missing, held);
    start = separator + 1;
  }
}

bool GuardedFolderTree::FolderOrder::operator()(const std::wstring& left,
                                                const std::wstring& right) const {
  return CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                              static_cast<int>(right.size()), TRUE) == CSTR_LESS_THAN;
}

void GuardedFolderTree::Guard(const std::wstring& relative) {
  if (!root_guarded_) {
    GuardDirectoryChain(root_, MissingFolder::kCreate, held_);
    root_guarded_ = true;
  }
  if (relative.empty() || guarded_.contains(relative)) return;
  // Parents before children, each level once.
  size_t end = 0;
  do {
    end = relative.find(L'\\', end + 1);
    std::wstring prefix = relative.substr(0, end);
    if (guarded_.contains(prefix)) continue;
    GuardDirectory((std::filesystem::path(root_) / prefix).wstring(), MissingFolder::kCreate,
                   held_);
    guarded_.insert(std::move(prefix));
  } while (end != std::wstring::npos);
}

}  // namespace cindral
