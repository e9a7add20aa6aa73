// The path rules the archive side's safety rests on: archives never write
// outside their destination, never through a link or junction, and never
// under a name Windows treats specially.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/jobs/path_rules.h"
#include "common/win_owners.h"

namespace cindral {

// The absolute, lexically normalised extended-length form ("\\?\" or
// "\\?\UNC\") every file-system call of the archive side goes through, so
// paths of any length work and Win32 name rewriting never applies.
// Fails with a text beginning "absolute" when the path cannot be made absolute,
// and with "Windows device names are blocked." when making it absolute turned
// it into a device path ("\\.\" or "\\?\" it did not start with).
std::wstring MakeLongPath(const std::wstring& path);

// Removes a file or a folder with everything below it, by its long path, and
// ignores every error. Links and junctions below are removed themselves,
// never followed. (The standard library's removal gives up on folders deeper
// than the classic path limit, which left staging folders behind.)
void RemoveTreeQuietly(const std::wstring& long_path) noexcept;

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

// Asked of an open handle, so the answer is about the object held, whatever
// its path shows now: a directory that is no reparse point.
bool IsPlainFolder(HANDLE handle);

// What opening a name inside a held folder asks for.
enum class NameKind { kFolder, kFile };

// Opens name (one component, no separator) directly inside the folder that
// parent holds, as NtCreateFile does with a root directory: the lookup
// starts at that folder, so it costs one step however deep the folder lies,
// and it can land nowhere but inside it. disposition is an NtCreateFile
// disposition (FILE_OPEN, FILE_CREATE, FILE_OPEN_IF); a folder is opened
// itself, never followed if it is a link. The handle is invalid on failure,
// and status tells why.
UniqueHandle OpenNameInFolder(HANDLE parent, std::wstring_view name, NameKind kind,
                              ACCESS_MASK access, ULONG share, ULONG disposition, LONG& status);

// Renames the file or folder that item holds (opened with DELETE access) to
// name directly inside the folder that folder holds, never replacing what is
// there: like OpenNameInFolder, the name can land nowhere but inside that
// folder. status tells why it failed (a name that is taken gives
// STATUS_OBJECT_NAME_COLLISION).
bool RenameIntoFolder(HANDLE item, HANDLE folder, std::wstring_view name, LONG& status);

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

// The folders below one root that a job writes into. The root's chain from
// the volume root is guarded once; below it only the chain of the folder in
// use is held, each level opened by name inside the level above it. Moving
// on to another folder lets go of the levels it does not share and opens the
// new ones afresh, checking each again: the handles held grow with the depth
// of one folder, never with the number of folders, and a file opened in the
// folder Guard returns lands in a plain folder below the root.
class GuardedFolderTree {
 public:
  explicit GuardedFolderTree(std::wstring root) : root_(std::move(root)) {}

  // relative: a safe backslash-separated folder below the root, empty for the
  // root itself; missing folders are created. Returns the folder's handle,
  // valid until the next Guard or the tree's end.
  HANDLE Guard(std::wstring_view relative);
  size_t HeldCount() const { return root_chain_.Size() + chain_.size(); }

 private:
  struct HeldFolder {
    std::wstring name;
    UniqueHandle handle;
  };

  HANDLE GuardRoot();
  void LetGoBelow(size_t depth);

  std::wstring root_;
  HeldDirectories root_chain_;
  std::vector<HeldFolder> chain_;  // root's child first
};

}  // namespace cindral
