#include "app/jobs/path_safety.h"

#include <windows.h>
#include <malloc.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/wine_support.h"

namespace cindral {
namespace {

namespace fs = std::filesystem;

constexpr char kUnsafeOrEmpty[] = "Unsafe or empty archive path.";
constexpr char kAbsolute[] = "Absolute paths and alternate data streams are blocked.";
constexpr char kComponent[] = "Unsafe archive path component.";
constexpr char kInvalidName[] = "Invalid archive filename.";
constexpr char kDevice[] = "Windows device names are blocked.";
constexpr char kReparse[] = "Reparse points in destination paths are blocked.";
constexpr char kCannotLock[] = "Cannot lock destination directory.";
constexpr char kCannotCreate[] = "Cannot create destination directory.";

using testing::RunsUnderWine;

// The failure text of a call, or "" when it succeeded.
template <typename Call>
std::string FailureOf(Call call) {
  try {
    call();
  } catch (const std::exception& failure) {
    return failure.what();
  }
  return "";
}

std::string SanitizeFailure(const std::wstring& name) {
  return FailureOf([&] { SanitizeArchivePath(name); });
}

// For readable failure output of wide names.
std::string Printable(const std::wstring& text) {
  std::string printable;
  for (const wchar_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      printable.push_back(static_cast<char>(unit));
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
      printable += escaped;
    }
  }
  return printable.size() > 80 ? printable.substr(0, 80) + "..." : printable;
}

void ExpectRefused(const std::wstring& name, const char* message) {
  EXPECT_EQ(SanitizeFailure(name), message) << "name: " << Printable(name);
}

void ExpectAccepted(const std::wstring& name, const std::wstring& safe) {
  try {
    EXPECT_EQ(SanitizeArchivePath(name), safe) << "name: " << Printable(name);
  } catch (const std::exception& failure) {
    ADD_FAILURE() << "name: " << Printable(name) << " refused: " << failure.what();
  }
}

TEST(SanitizeArchivePath, DocumentedCases) {
  ExpectAccepted(L"a/b/c.txt", L"a\\b\\c.txt");
  ExpectAccepted(L"dir/", L"dir");
  ExpectAccepted(L"dir/sub/", L"dir\\sub");

  for (const wchar_t* name : {L"/etc/x", L"\\x", L"C:x", L"C:\\x", L"file.txt:stream", L"/"})
    ExpectRefused(name, kAbsolute);
  for (const wchar_t* name :
       {L"a//b", L"a/./b", L"a/../b", L"../x", L"name.", L"name ", L"a/b /c", L"."})
    ExpectRefused(name, kComponent);
  ExpectRefused(L"a<b", kInvalidName);
  ExpectRefused(L"what?", kInvalidName);
  ExpectRefused(L"x|y", kInvalidName);
  ExpectRefused(L"a\tb", kInvalidName);
  ExpectRefused(std::wstring(L"a\0b", 3), kInvalidName);
  for (const wchar_t* name :
       {L"con", L"AUX.txt", L"Lpt3", L"lpt3.log", L"COM0", L"COM\u00B9", L"conin$", L"CONOUT$.dat"})
    ExpectRefused(name, kDevice);
  for (const wchar_t* name : {L"console.txt", L"COM10", L"nul_file", L".nul", L"xcon"})
    ExpectAccepted(name, name);

  ExpectAccepted(std::wstring(32699, L'a'), std::wstring(32699, L'a'));
  ExpectRefused(std::wstring(32700, L'a'), kUnsafeOrEmpty);
  ExpectRefused(L"", kUnsafeOrEmpty);
}

TEST(SanitizeArchivePath, LengthIsCheckedFirstAndCountsUnits) {
  // Separators and surrogate pairs count as code units like any other.
  ExpectRefused(std::wstring(32700, L'/'), kUnsafeOrEmpty);
  std::wstring many_components;
  while (many_components.size() + 2 <= 32699) many_components += L"a/";
  many_components += L"b";
  ASSERT_EQ(many_components.size(), 32699u);
  std::wstring expected = many_components;
  std::replace(expected.begin(), expected.end(), L'/', L'\\');
  ExpectAccepted(many_components, expected);
  ExpectRefused(many_components + L"c", kUnsafeOrEmpty);

  // A trailing separator is inside the limit too: 32698 letters and a slash.
  ExpectAccepted(std::wstring(32698, L'd') + L"/", std::wstring(32698, L'd'));
  std::wstring pairs;
  while (pairs.size() + 2 <= 32700) pairs += L"\U0001F600";
  ASSERT_EQ(pairs.size(), 32700u);
  ExpectRefused(pairs, kUnsafeOrEmpty);
  ExpectAccepted(pairs.substr(0, 32698), pairs.substr(0, 32698));
}

TEST(SanitizeArchivePath, SeparatorsAndAbsoluteForms) {
  ExpectAccepted(L"a\\b", L"a\\b");
  ExpectAccepted(L"a/b\\c/d", L"a\\b\\c\\d");
  ExpectAccepted(L"dir\\", L"dir");
  ExpectRefused(L"dir//", kComponent);
  ExpectRefused(L"dir\\\\", kComponent);
  ExpectRefused(L"//server/share", kAbsolute);
  ExpectRefused(L"\\\\?\\C:\\x", kAbsolute);
  for (const wchar_t* name : {L"a:b", L"a/b:c", L":", L"C:", L"dir/file:$DATA", L"a/b/c:"})
    ExpectRefused(name, kAbsolute);
  // The colon is found before any component is looked at.
  ExpectRefused(L"../x:y", kAbsolute);
  ExpectRefused(L"con/a:b", kAbsolute);
}

TEST(SanitizeArchivePath, DotsAndSpaces) {
  for (const wchar_t* name :
       {L"..", L"...", L"a/..", L"a/.", L"a./b", L"dir/file.", L"dir /file", L"a/ ", L"a\u3000/b "})
    ExpectRefused(name, kComponent);
  ExpectRefused(L"a.b.", kComponent);
  for (const wchar_t* name : {L".a", L"..a", L"a..b", L" a", L"a b", L"a\u00A0"})
    ExpectAccepted(name, name);
  ExpectAccepted(L".hidden/x.y.z", L".hidden\\x.y.z");
  // The first component decides before the second is looked at.
  ExpectRefused(L"a./b<c", kComponent);
  ExpectRefused(L"a<c/b.", kInvalidName);
}

TEST(SanitizeArchivePath, ReservedAndControlCharacters) {
  for (const wchar_t reserved : std::wstring(L"<>\"|?*")) {
    for (const std::wstring& name :
         {std::wstring(1, reserved), L"x" + std::wstring(1, reserved),
          std::wstring(1, reserved) + L"x", L"dir/a" + std::wstring(1, reserved) + L"b",
          L"dir/sub/" + std::wstring(1, reserved)})
      ExpectRefused(name, kInvalidName);
  }
  for (wchar_t control = 0; control < 0x20; ++control) {
    ExpectRefused(L"a" + std::wstring(1, control) + L"b", kInvalidName);
    ExpectRefused(L"dir/" + std::wstring(1, control), kInvalidName);
  }
  // Everything else from U+0020 up is allowed, non-ASCII letters included.
  for (const wchar_t* name :
       {L"a\u007Fb", L"#%&'()+,;=@[]^_`{}~!$", L"\u65E5\u672C/\u00E4 \u00F6.txt", L"\U0001F600.txt",
        L"\uFF1C\uFF1E.txt", L"caf\u00E9/\u0441\u043B\u043E\u0432\u043E"})
    ExpectAccepted(name, [&] {
      std::wstring safe(name);
      std::replace(safe.begin(), safe.end(), L'/', L'\\');
      return safe;
    }());
}

TEST(SanitizeArchivePath, DeviceNames) {
  std::vector<std::wstring> devices = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* stem : {L"COM", L"LPT"}) {
    for (wchar_t digit = L'0'; digit <= L'9'; ++digit)
      devices.push_back(stem + std::wstring(1, digit));
    for (const wchar_t superscript : {L'\u00B9', L'\u00B2', L'\u00B3'})
      devices.push_back(stem + std::wstring(1, superscript));
  }
  for (const std::wstring& device : devices) {
    std::wstring lower = device;
    for (wchar_t& unit : lower) unit = unit >= L'A' && unit <= L'Z' ? unit + 32 : unit;
    std::wstring mixed = lower;
    mixed[0] = device[0];
    for (const std::wstring& base : {device, lower, mixed}) {
      for (const wchar_t* suffix : {L"", L".txt", L".tar.gz", L".", L".."}) {
        const std::wstring name = base + suffix;
        ExpectRefused(name, name.back() == L'.' ? kComponent : kDevice);
        ExpectRefused(L"dir/" + name + L"/x", name.back() == L'.' ? kComponent : kDevice);
      }
      ExpectRefused(base + L" ", kComponent);
      // Windows drops the spaces before the extension and opens the device.
      for (const wchar_t* suffix : {L" .txt", L"  .tar.gz", L" .x.y", L"   .log"}) {
        ExpectRefused(base + suffix, kDevice);
        ExpectRefused(L"sub/" + base + suffix, kDevice);
      }
      for (const std::wstring& near_miss : {base + L"x", L"x" + base, L"." + base, base + L"_1"})
        ExpectAccepted(near_miss, near_miss);
    }
  }
  // Only ASCII letters fold, only these digits count, and the length is exact.
  for (const wchar_t* name : {L"COM10", L"LPT00", L"COMA", L"COM", L"LPT", L"AUX1", L"CONSOLE",
                              L"COM\u2074", L"COM\u2070", L"COM\uFF11", L"\uFF43\uFF4F\uFF4E",
                              L"\u0441on", L"CONIN", L"CONOUT", L"CON$", L"NUL$"})
    ExpectAccepted(name, name);
}

TEST(MakeLongPath, ShapesOfPaths) {
  EXPECT_EQ(MakeLongPath(L"C:\\a\\..\\b"), L"\\\\?\\C:\\b");
  EXPECT_EQ(MakeLongPath(L"C:\\data\\x"), L"\\\\?\\C:\\data\\x");
  EXPECT_EQ(MakeLongPath(L"C:/a//b/./c"), L"\\\\?\\C:\\a\\b\\c");
  EXPECT_EQ(MakeLongPath(L"C:\\a\\b\\..\\..\\..\\c"), L"\\\\?\\C:\\c");
  EXPECT_EQ(MakeLongPath(L"\\\\srv\\share\\x"), L"\\\\?\\UNC\\srv\\share\\x");
  EXPECT_EQ(MakeLongPath(L"//srv/share/x/../y"), L"\\\\?\\UNC\\srv\\share\\y");
  EXPECT_EQ(MakeLongPath(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
  EXPECT_EQ(MakeLongPath(L"\\\\srv\\share\\..\\..\\x"), L"\\\\?\\UNC\\srv\\share\\x")
      << "never above the share";
  EXPECT_EQ(MakeLongPath(L"\\\\?\\UNC\\srv\\share\\x"), L"\\\\?\\UNC\\srv\\share\\x");
  const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\" + std::wstring(300, L'e');
  EXPECT_EQ(MakeLongPath(deep), L"\\\\?\\" + deep);
}

TEST(MakeLongPath, NeverTurnsAFilePathIntoADevice) {
  for (const wchar_t* path : {L"C:\\dir\\CON .txt", L"C:\\dir\\nul  .tar.gz", L"C:\\dir\\COM1 .log",
                              L"C:\\dir\\aux .x.y", L"C:\\dir\\CONIN$ .txt", L"C:\\dir\\NUL"}) {
    // Either refused, or still a file path inside the folder (Windows 11
    // keeps such names as files); never the device or a UNC path.
    try {
      const std::wstring result = MakeLongPath(path);
      EXPECT_TRUE(result.starts_with(L"\\\\?\\C:\\dir\\"))
          << std::string(result.begin(), result.end());
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), kDevice);
    }
  }
  // Device and extended forms the caller wrote themselves keep their meaning.
  EXPECT_EQ(MakeLongPath(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
}

TEST(MakeLongPath, RelativeToTheCurrentDirectory) {
  const fs::path folder = fs::temp_directory_path() / "cindral-long-path-cwd";
  fs::create_directories(folder / "sub");
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  const std::wstring current = fs::current_path().wstring();
  const std::wstring parent = fs::current_path().parent_path().wstring();
  EXPECT_EQ(MakeLongPath(L"f.txt"), L"\\\\?\\" + current + L"\\f.txt");
  EXPECT_EQ(MakeLongPath(L"sub/./g.txt"), L"\\\\?\\" + current + L"\\sub\\g.txt");
  EXPECT_EQ(MakeLongPath(L".."), L"\\\\?\\" + parent);
  EXPECT_EQ(MakeLongPath(L"..\\x"), L"\\\\?\\" + parent + L"\\x");
  SetCurrentDirectoryW(previous);
  fs::remove_all(folder);
}

// ---------------------------------------------------------------------------
// The guard, on real folders.

bool IsOpenHandle(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

size_t ChainLength(const fs::path& path) {
  size_t length = 0;
  for (const fs::path& element : path.relative_path()) length += element.empty() ? 0 : 1;
  return length + 1;  // the root
}

std::string ReadAll(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("cindral-guard-" + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  fs::path folder_;
};

TEST_F(GuardTest, ChainHoldsEveryDirectoryFromTheRoot) {
  const fs::path target = folder_ / "a" / "b";
  fs::create_directories(target);
  std::vector<HANDLE> raw;
  {
    HeldDirectories held;
    GuardDirectoryChain(target.wstring(), MissingFolder::kRefuse, held);
    ASSERT_EQ(held.Size(), ChainLength(target));
    // Each handle is the directory of its level, in order from the root.
    fs::path expected = target.root_path();
    const fs::path relative = target.relative_path();
    auto element = relative.begin();
    for (size_t index = 0; index < held.Size(); ++index) {
      raw.push_back(held.Get(index));
      ASSERT_TRUE(IsOpenHandle(held.Get(index)));
      std::wstring final_path(32768, L'\0');
      final_path.resize(GetFinalPathNameByHandleW(held.Get(index), final_path.data(), 32768,
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS));
      if (index > 0) expected /= *element++;
      EXPECT_EQ(CompareStringOrdinal(final_path.c_str(), -1,
                                     (L"\\\\?\\" + expected.wstring()).c_str(), -1, TRUE),
                CSTR_EQUAL)
          << Printable(final_path) << " for " << Printable(expected.wstring());
    }

    HeldDirectories moved = std::move(held);
    EXPECT_EQ(held.Size(), 0u);
    ASSERT_EQ(moved.Size(), raw.size());
    for (size_t index = 0; index < raw.size(); ++index) {
      EXPECT_EQ(moved.Get(index), raw[index]) << "a move must neither close nor copy";
      EXPECT_TRUE(IsOpenHandle(raw[index]));
    }
  }
  for (const HANDLE handle : raw)
    EXPECT_FALSE(IsOpenHandle(handle)) << "destroying the list closes every handle";
}

TEST_F(GuardTest, ChainAcceptsForwardSlashesDotsAndTheLongForm) {
  fs::create_directories(folder_ / "x" / "y");
  const std::wstring base = folder_.wstring();
  HeldDirectories plain;
  GuardDirectoryChain(base + L"\\x\\y", MissingFolder::kRefuse, plain);
  HeldDirectories slashed;
  std::wstring forward = base + L"/x/./z/../y/";
  std::replace(forward.begin(), forward.end(), L'\\', L'/');
  GuardDirectoryChain(forward, MissingFolder::kRefuse, slashed);
  EXPECT_GE(slashed.Size(), plain.Size());
  HeldDirectories prefixed;
  GuardDirectoryChain(L"\\\\?\\" + base + L"\\x\\y", MissingFolder::kRefuse, prefixed);
  EXPECT_EQ(prefixed.Size(), plain.Size());
  HeldDirectories root;
  GuardDirectoryChain(base.substr(0, 3), MissingFolder::kRefuse, root);
  EXPECT_EQ(root.Size(), 1u);
}

TEST_F(GuardTest, MissingDirectoryWithAndWithoutCreate) {
  const fs::path target = folder_ / "new" / "deeper";
  HeldDirectories refused;
  EXPECT_EQ(
      FailureOf([&] { GuardDirectoryChain(target.wstring(), MissingFolder::kRefuse, refused); }),
      kCannotLock);
  EXPECT_FALSE(fs::exists(folder_ / "new")) << "nothing is created without the flag";
  EXPECT_EQ(refused.Size(), ChainLength(folder_)) << "what was taken so far stays held";

  HeldDirectories created;
  EXPECT_EQ(
      FailureOf([&] { GuardDirectoryChain(target.wstring(), MissingFolder::kCreate, created); }),
      "");
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(created.Size(), ChainLength(target));
  // An existing directory is simply held again.
  EXPECT_EQ(FailureOf([&] { GuardDirectory(target.wstring(), MissingFolder::kCreate, created); }),
            "");
  EXPECT_EQ(created.Size(), ChainLength(target) + 1);
}

TEST_F(GuardTest, PathsLongerThanTheClassicLimit) {
  fs::path target = folder_;
  for (int level = 0; level < 6; ++level)
    target /= std::wstring(60, static_cast<wchar_t>(L'k' + level));
  ASSERT_GT(target.wstring().size(), 400u);
  HeldDirectories held;
  EXPECT_EQ(FailureOf([&] { GuardDirectoryChain(target.wstring(), MissingFolder::kCreate, held); }),
            "");
  EXPECT_EQ(held.Size(), ChainLength(target));
  EXPECT_NE(GetFileAttributesW((L"\\\\?\\" + target.wstring()).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(GuardTest, PlainFileWhereAFolderIsExpected) {
  std::ofstream(folder_ / "file.txt") << "x";
  HeldDirectories held;
  const std::wstring file = (folder_ / "file.txt").wstring();
  EXPECT_EQ(FailureOf([&] { GuardDirectoryChain(file, MissingFolder::kRefuse, held); }), kReparse);
  EXPECT_EQ(FailureOf([&] { GuardDirectoryChain(file, MissingFolder::kCreate, held); }), kReparse);
  EXPECT_EQ(FailureOf([&] { GuardDirectoryChain(file + L"\\sub", MissingFolder::kCreate, held); }),
            kReparse);
  // Alone, the guard cannot create a directory below a file.
  EXPECT_EQ(FailureOf([&] { GuardDirectory(file + L"\\sub", MissingFolder::kCreate, held); }),
            kCannotCreate);
  EXPECT_EQ(fs::file_size(folder_ / "file.txt"), 1u);
}

// Each level is opened inside the one above it, so a tree deeper than any
// one path call likes costs one open a level, and only the chain in use is held.
TEST_F(GuardTest, FolderTreeHoldsTheChainInUseOnly) {
  constexpr size_t kLevels = 300;
  std::wstring deep;
  for (size_t level = 0; level < kLevels; ++level) deep += level == 0 ? L"dd" : L"\\dd";
  const size_t root_chain = ChainLength(folder_ / "tree");
  GuardedFolderTree tree((folder_ / "tree").wstring());
  ASSERT_NE(tree.Guard(deep), nullptr);
  EXPECT_EQ(tree.HeldCount(), root_chain + kLevels);
  EXPECT_TRUE(fs::is_directory(L"\\\\?\\" + (folder_ / "tree").wstring() + L"\\" + deep));

  // Another branch lets go of all but the level both share.
  tree.Guard(L"DD\\other");
  EXPECT_EQ(tree.HeldCount(), root_chain + 2);
  tree.Guard(L"");
  EXPECT_EQ(tree.HeldCount(), root_chain);
  EXPECT_TRUE(fs::is_directory(folder_ / "tree" / "dd" / "other"));

  std::ofstream(folder_ / "tree" / "file.txt") << "x";
  EXPECT_EQ(FailureOf([&] { tree.Guard(L"file.txt\\sub"); }), kReparse);
  EXPECT_EQ(FailureOf([&] { tree.Guard(L"dd\\..\\..\\escape"); }),
            "Unsafe archive path component.");
  EXPECT_FALSE(fs::exists(folder_ / "escape"));
  EXPECT_EQ(fs::file_size(folder_ / "tree" / "file.txt"), 1u);
}

// The rename publishing moves whole folders with: only into the held folder,
// under one name, and never over anything already there.
TEST_F(GuardTest, RenameIntoAFolderTakesOneFreeNameOnly) {
  fs::create_directories(folder_ / "staged" / "sub");
  std::ofstream(folder_ / "staged" / "sub" / "f.txt") << "staged";
  fs::create_directories(folder_ / "into" / "taken");
  std::ofstream(folder_ / "into" / "taken" / "mine.txt") << "mine";
  GuardedFolderTree tree((folder_ / "into").wstring());
  const HANDLE into = tree.Guard(L"");
  const UniqueHandle staged(CreateFileW((folder_ / "staged").c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(staged) << GetLastError();

  LONG status = 0;
  EXPECT_FALSE(RenameIntoFolder(staged.Get(), into, L"TAKEN", status));
  EXPECT_EQ(static_cast<ULONG>(status), 0xC0000035u) << "STATUS_OBJECT_NAME_COLLISION";
  for (const wchar_t* path : {L"..\\escaped", L"sub\\x", L"a/b", L""})
    EXPECT_FALSE(RenameIntoFolder(staged.Get(), into, path, status)) << path;
  EXPECT_TRUE(fs::is_directory(folder_ / "staged" / "sub"));
  EXPECT_EQ(ReadAll(folder_ / "into" / "taken" / "mine.txt"), "mine");

  EXPECT_TRUE(RenameIntoFolder(staged.Get(), into, L"n", status)) << std::hex << status;
  EXPECT_FALSE(fs::exists(folder_ / "staged"));
  EXPECT_EQ(ReadAll(folder_ / "into" / "n" / "sub" / "f.txt"), "staged");
  EXPECT_FALSE(fs::exists(folder_ / "escaped"));
}

// A folder with a link "link" to its sibling "real" (which holds "inner"),
// and "inner-link" straight to real\inner: on Wine a Unix symbolic link that
// the build made; on Windows a directory symbolic link made here.
class GuardLinkTest : public GuardTest {
 protected:
  void SetUp() override {
    GuardTest::SetUp();
    if (RunsUnderWine()) {
      links_ = testing::DosPathOfUnixPath(CINDRAL_GUARD_LINKS_UNIX);
      ASSERT_FALSE(links_.empty());
      ASSERT_TRUE(fs::is_directory(links_ / "real" / "inner"));
      // The folder outlives the run: what an earlier faulty run made through
      // the link must not decide this one.
      fs::remove_all(links_ / "real" / "made-through-link");
      ASSERT_NE(GetFileAttributesW((links_ / "link").c_str()), INVALID_FILE_ATTRIBUTES)
          << "the build step that makes the Unix links did not run";
      return;
    }
    links_ = folder_;
    fs::create_directories(links_ / "real" / "inner");
    const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (!CreateSymbolicLinkW((links_ / "link").c_str(), L"real", flags) ||
        !CreateSymbolicLinkW((links_ / "inner-link").c_str(), L"real\\inner", flags))
      GTEST_SKIP() << "creating symbolic links needs developer mode or the privilege";
  }

  fs::path links_;
};

TEST_F(GuardLinkTest, LinkInTheChainIsRefusedBeforeAnythingBelowIt) {
  HeldDirectories held;
  const fs::path through = links_ / "link" / "inner";
  EXPECT_EQ(
      FailureOf([&] { GuardDirectoryChain(through.wstring(), MissingFolder::kRefuse, held); }),
      kReparse);
  EXPECT_EQ(held.Size(), ChainLength(links_)) << "levels above the link stay held, none below";

  const fs::path created = links_ / "link" / "made-through-link";
  EXPECT_EQ(
      FailureOf([&] { GuardDirectoryChain(created.wstring(), MissingFolder::kCreate, held); }),
      kReparse);
  EXPECT_FALSE(fs::exists(links_ / "real" / "made-through-link"));

  HeldDirectories direct;
  EXPECT_EQ(FailureOf([&] {
              GuardDirectory((links_ / "inner-link").wstring(), MissingFolder::kRefuse, direct);
            }),
            kReparse);
  EXPECT_EQ(direct.Size(), 0u);

  HeldDirectories real;
  EXPECT_EQ(FailureOf([&] {
              GuardDirectoryChain((links_ / "real" / "inner").wstring(), MissingFolder::kRefuse,
                                  real);
            }),
            "");
}

TEST_F(GuardLinkTest, FolderTreeNeverGoesThroughALink) {
  GuardedFolderTree tree(links_.wstring());
  EXPECT_EQ(FailureOf([&] { tree.Guard(L"link\\made-through-link"); }), kReparse);
  EXPECT_EQ(FailureOf([&] { tree.Guard(L"inner-link"); }), kReparse);
  EXPECT_FALSE(fs::exists(links_ / "real" / "made-through-link"));
  EXPECT_EQ(FailureOf([&] { tree.Guard(L"real\\inner"); }), "");

  GuardedFolderTree below_link((links_ / "link").wstring());
  EXPECT_EQ(FailureOf([&] { below_link.Guard(L"made-through-link"); }), kReparse);
  EXPECT_FALSE(fs::exists(links_ / "real" / "made-through-link"));
}

TEST_F(GuardTest, HeldDirectoryCannotBeDeletedOrMoved) {
  if (RunsUnderWine())
    GTEST_SKIP() << "Wine lets a directory opened without delete sharing be removed or renamed";
  const fs::path target = folder_ / "held";
  fs::create_directories(target);
  {
    HeldDirectories held;
    GuardDirectoryChain(target.wstring(), MissingFolder::kRefuse, held);
    EXPECT_FALSE(RemoveDirectoryW(target.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExW(target.c_str(), (folder_ / "moved").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExW(folder_.c_str(), (folder_.wstring() + L"-moved").c_str(), 0))
        << "the folders above are held too";
  }
  EXPECT_TRUE(RemoveDirectoryW(target.c_str())) << "released when the list is gone";
}

// ---------------------------------------------------------------------------
// Removal of staging trees.

// Runs call with only 64 KiB of this thread's stack left, so a walk that
// spends a frame per folder level overflows long before the bottom of a deep
// tree, while one that does not never notices. (Wine gives every thread a
// large stack whatever is asked for, so the rest is taken here instead.)
template <typename Call>
void RunWithLittleStack(Call call) {
  constexpr ULONG_PTR kLeftBytes = 64 * 1024;
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  const auto here = reinterpret_cast<ULONG_PTR>(&low);
  ASSERT_GT(here - low, 2 * kLeftBytes);
  volatile char* taken = static_cast<char*>(_alloca(here - low - kLeftBytes));
  taken[0] = 0;
  call();
}

void WriteReadOnlyFile(const std::wstring& long_path) {
  UniqueHandle file(CreateFileW(long_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_READONLY, nullptr));
  ASSERT_TRUE(file) << GetLastError();
}

TEST_F(GuardTest, RemovalReachesTheBottomOfAVeryDeepTree) {
  // Entry names allow about 16,000 levels. Under Wine every call walks the
  // whole path again, so a tree much deeper than 400 levels takes minutes to
  // make there; 400 still need several times the stack left from a walk that
  // spends a frame per level.
  const int levels = RunsUnderWine() ? 400 : 10000;
  const std::wstring root = L"\\\\?\\" + (folder_ / "deep").wstring();
  std::wstring path = root;
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
  for (int level = 1; level < levels; ++level) {
    if (level == levels / 2) WriteReadOnlyFile(path + L"\\halfway.txt");
    path += L"\\d";
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr))
        << "level " << level << ": " << GetLastError();
  }
  WriteReadOnlyFile(path + L"\\bottom.txt");

  RunWithLittleStack([&] { RemoveTreeQuietly(root); });
  EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(GuardTest, RemovalTakesFilesAndSiblingsAndIgnoresWhatIsNotThere) {
  const std::wstring root = L"\\\\?\\" + (folder_ / "tree").wstring();
  fs::create_directories(folder_ / "tree" / "a" / "b");
  fs::create_directories(folder_ / "tree" / "c");
  WriteReadOnlyFile(root + L"\\a\\b\\f.txt");
  WriteReadOnlyFile(root + L"\\c\\g.txt");
  WriteReadOnlyFile(root + L"\\h.txt");
  WriteReadOnlyFile(L"\\\\?\\" + (folder_ / "single.txt").wstring());
  RemoveTreeQuietly(root);
  RemoveTreeQuietly(L"\\\\?\\" + (folder_ / "single.txt").wstring());
  RemoveTreeQuietly(L"\\\\?\\" + (folder_ / "absent").wstring());
  EXPECT_TRUE(fs::is_empty(folder_));
}

}  // namespace
}  // namespace cindral
