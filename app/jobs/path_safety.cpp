#include "app/jobs/path_safety.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/file_system.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kUncPrefix = L"\\\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

// NTSTATUS values (ntstatus.h clashes with windows.h).
constexpr LONG kStatusObjectNameInvalid = static_cast<LONG>(0xC0000033);
constexpr LONG kStatusNotADirectory = static_cast<LONG>(0xC0000103);

// Traverse lets names be opened inside a held folder.
constexpr ACCESS_MASK kHeldFolderAccess = FILE_READ_ATTRIBUTES | FILE_TRAVERSE;

[[noreturn]] void Refuse(const char* message) { throw std::runtime_error(message); }

void RefuseUnlessPlainFolder(HANDLE handle) {
  if (!IsPlainFolder(handle)) Refuse("Reparse points in destination paths are blocked.");
}

// A separator would make the name a path that walks on from the folder it
// is looked up in.
bool IsSingleName(std::wstring_view name) {
  return !name.empty() && name.size() <= 255 &&
         name.find_first_of(L"\\/") == std::wstring_view::npos;
}

std::wstring AbsoluteNormalPath(const std::wstring& path) {
  return NormalizeLexically(MakeAbsolutePath(path));
}

}  // namespace

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

bool IsPlainFolder(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof(info)))
    return false;
  return (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
         FILE_ATTRIBUTE_DIRECTORY;
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
      long_path.c_str(), kHeldFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) Refuse("Cannot lock destination directory.");

  RefuseUnlessPlainFolder(handle.Get());
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

UniqueHandle OpenNameInFolder(HANDLE parent, std::wstring_view name, NameKind kind,
                              ACCESS_MASK access, ULONG share, ULONG disposition, LONG& status) {
  if (!IsSingleName(name)) {
    status = kStatusObjectNameInvalid;
    return UniqueHandle();
  }
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.data());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
  const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT |
                        (kind == NameKind::kFolder ? FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT
                                                   : FILE_NON_DIRECTORY_FILE);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  status = NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                        share, disposition, options, nullptr, 0);
  if (!NT_SUCCESS(status)) return UniqueHandle();
  return UniqueHandle(handle);
}

bool RenameIntoFolder(HANDLE item, HANDLE folder, std::wstring_view name, LONG& status) {
  if (!IsSingleName(name)) {
    status = kStatusObjectNameInvalid;
    return false;
  }
  const size_t name_bytes = name.size() * sizeof(wchar_t);
  // Never shorter than the record itself: a one-letter name would leave the
  // buffer below the size the system checks for.
  std::vector<unsigned char> buffer(std::max(
      sizeof(FILE_RENAME_INFORMATION), offsetof(FILE_RENAME_INFORMATION, FileName) + name_bytes));
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<ULONG>(name_bytes);
  std::memcpy(rename->FileName, name.data(), name_bytes);
  IO_STATUS_BLOCK io = {};
  status = NtSetInformationFile(item, &io, rename, static_cast<ULONG>(buffer.size()),
                                FileRenameInformation);
  return NT_SUCCESS(status);
}

namespace {

// One level of GuardedFolderTree: name inside the held parent, made when
// missing, refused unless it is a plain folder. full_path is only for Wine,
// which shows a Unix symbolic link as a reparse point by path alone.
UniqueHandle GuardFolderIn(HANDLE parent, std::wstring_view name, const std::wstring& full_path) {
  const DWORD attributes = GetFileAttributesW(MakeLongPath(full_path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    Refuse("Reparse points in destination paths are blocked.");
  LONG status = 0;
  UniqueHandle handle = OpenNameInFolder(parent, name, NameKind::kFolder, kHeldFolderAccess,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, status);
  if (!handle) {
    if (status == kStatusNotADirectory) Refuse("Reparse points in destination paths are blocked.");
    if (attributes == INVALID_FILE_ATTRIBUTES) Refuse("Cannot create destination directory.");
    Refuse("Cannot lock destination directory.");
  }
  RefuseUnlessPlainFolder(handle.Get());
  return handle;
}

bool SameName(std::wstring_view left, std::wstring_view right) {
  return CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                              static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

HANDLE GuardedFolderTree::GuardRoot() {
  if (root_chain_.Size() == 0) GuardDirectoryChain(root_, MissingFolder::kCreate, root_chain_);
  return root_chain_.Get(root_chain_.Size() - 1);
}

void GuardedFolderTree::LetGoBelow(size_t depth) {
  // Children before their parents.
  while (chain_.size() > depth) chain_.pop_back();
}

HANDLE GuardedFolderTree::Guard(std::wstring_view relative) {
  HANDLE folder = GuardRoot();
  std::wstring path = root_;
  size_t depth = 0;
  for (size_t start = 0; start < relative.size(); ++depth) {
    const size_t end = std::min(relative.find(L'\\', start), relative.size());
    const std::wstring_view name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == L"." || name == L"..") Refuse("Unsafe archive path component.");
    if (!path.ends_with(L'\\')) path.push_back(L'\\');
    path.append(name);
    if (depth < chain_.size() && SameName(chain_[depth].name, name)) {
      folder = chain_[depth].handle.Get();
      continue;
    }
    LetGoBelow(depth);
    UniqueHandle opened = GuardFolderIn(folder, name, path);
    folder = opened.Get();
    chain_.push_back({std::wstring(name), std::move(opened)});
  }
  LetGoBelow(depth);
  return folder;
}

}  // namespace cindral
