// The path rules the archive side's safety rests on: archives never write
// outside their destination, never through a link or junction, and never
// under a name Windows treats specially.
#pragma once

#include <windows.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "common/win_owners.h"

namespace cindral {

// The absolute, lexically normalised extended-length form ("\\?\" or
// "\\?\UNC\") every file-system call of the archive side goes through, so
// paths of any length work and Win32 name rewriting never applies.
// Fails with a text beginning "absolute" when the path cannot be made absolute,
// and with "Windows device names are blocked." when making it absolute turned
// it into a device path ("\\.\" or "\\?\" it did not start with).
std::wstring MakeLongPath(const std::wstring& path);

// Lexical normalisation that keeps UNC and extended-length roots intact (the
// standard library's folds the leading "\\" of a UNC path into one, which
// turns \\server\share into a folder on the current drive): forward slashes
// become backslashes, repeated separators and "." go, ".." removes the
// component before it and never climbs above the root. Never touches the disk.
std::wstring NormalizeLexically(std::wstring path);

// Removes a file or a folder with everything below it, by its long path, and
// ignores every error. Links and junctions below are removed themselves,
// never followed. (The standard library's removal gives up on folders deeper
// than the classic path limit, which left staging folders behind.)
void RemoveTreeQuietly(const std::wstring& long_path) noexcept;

// Checks one entry name as the archive reports it and returns it as a safe
// relative path with backslashes, or throws std::runtime_error with one of
// "Unsafe or empty archive path.", "Absolute paths and alternate data streams
// are blocked.", "Unsafe archive path component.", "Invalid archive
// filename." or "Windows device names are blocked.".
std::wstring SanitizeArchivePath(std::wstring name);

// Open directory handles that keep a folder chain from being deleted, moved
// or swapped for a link while a job uses it. The list only grows; destroying
// it closes the handles in list order.
class HeldDirectories {
 public:
  HeldDirectories() = default;
  HeldDirectories(HeldDirectories&&) noexcept = default;
  HeldDirectories& operator=(HeldDirectories&& other) noexcept;
  HeldDirectories(const HeldDirectories&) = delete;
  HeldDirectories& operator=(const HeldDirectories&) = delete;
  ~HeldDirectories();

  void Add(UniqueHandle handle) { handles_.push_back(std::move(handle)); }
  size_t Size() const { return handles_.size(); }
  HANDLE Get(size_t index) const { return handles_.at(index).Get(); }

 private:
  void CloseAll();

  std::vector<UniqueHandle> handles_;
};

// What guarding does with a directory that is not there.
enum class MissingFolder {
  kRefuse,  // fails with "Cannot lock destination directory."
  kCreate,  // makes it first
};

// Opens one directory without delete sharing and refuses it unless it is a
// plain directory (no junction, symbolic link or mount point); a missing
// directory is refused or made first, as missing says. On success the handle joins held.
// Fails with "Cannot create destination directory.", "Cannot lock
// destination directory." or "Reparse points in destination paths are
// blocked.".
void GuardDirectory(const std::wstring& directory, MissingFolder missing, HeldDirectories& held);

// GuardDirectory on every directory from the volume root (for a UNC path the
// share) down to path itself, in that order. A failure leaves the handles
// taken so far in held.
void GuardDirectoryChain(const std::wstring& path, MissingFolder missing, HeldDirectories& held);

// Removes a temporary file or folder tree on every way out of a scope,
// quietly: a clean-up failure must not hide the job's own outcome. After the
// item was renamed away there is nothing left to remove.
class RemovedOnExit {
 public:
  explicit RemovedOnExit(std::wstring path) : path_(std::move(path)) {}
  RemovedOnExit(const RemovedOnExit&) = delete;
  RemovedOnExit& operator=(const RemovedOnExit&) = delete;
  ~RemovedOnExit() { RemoveTreeQuietly(MakeLongPath(path_)); }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
};

// The folders below one root that a job writes into, each guarded once, the
// first time it is needed, and held until the tree is destroyed: one handle
// per distinct folder however many files land in it.
class GuardedFolderTree {
 public:
  explicit GuardedFolderTree(std::wstring root) : root_(std::move(root)) {}

  // relative: a safe backslash-separated folder below the root, empty for the
  // root itself. Guards the root's chain from the volume root on first use,
  // then each missing level; missing folders are created.
  void Guard(const std::wstring& relative);
  size_t HeldCount() const { return held_.Size(); }

 private:
  // Case-insensitive, as the file system compares names.
  struct FolderOrder {
    bool operator()(const std::wstring& left, const std::wstring& right) const;
  };

  std::wstring root_;
  bool root_guarded_ = false;
  std::set<std::wstring, FolderOrder> guarded_;
  HeldDirectories held_;
};

}  // namespace cindral
