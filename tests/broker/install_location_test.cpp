// The install-location check on a real file system: the protected folder is
// made where the system's 64-bit Program Files folder is.
#include "broker/install_location.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "broker/broker_error.h"
#include "tests/broker/install_folder.h"
#include "tests/wine_support.h"

namespace cindral::broker {
namespace {

constexpr wchar_t kRefusal[] =
    L"Archive integration requires the protected Program Files/DRUV folder.";

// What ValidateInstallLocation answers: the path, or the refusal's message.
std::wstring Validated(const std::wstring& argument) {
  try {
    return ValidateInstallLocation(argument);
  } catch (const BrokerError& error) {
    return error.Message();
  } catch (const std::exception& error) {
    return L"failure: " + std::wstring(error.what(), error.what() + strlen(error.what()));
  }
}

class InstallLocationTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::MakeInstallFolder(); }
  std::wstring Folder() const { return testing::InstallFolder(); }
};

TEST_F(InstallLocationTest, ProtectedFolderIsInTheSystemsProgramFiles) {
  wchar_t expected[MAX_PATH];
  ASSERT_NE(ExpandEnvironmentStringsW(L"%ProgramW6432%\\DRUV\\Vantle", expected, MAX_PATH), 0u);
  EXPECT_EQ(Folder(), expected);
}

TEST_F(InstallLocationTest, AcceptsEveryWritingOfTheFolder) {
  std::wstring lower = Folder();
  for (wchar_t& c : lower) c = towlower(c);
  std::wstring slashes = Folder();
  for (wchar_t& c : slashes)
    if (c == L'\\') c = L'/';
  for (const std::wstring& argument :
       {Folder(), Folder() + L"\\", Folder() + L"\\\\", lower, lower + L"\\", slashes + L"/",
        L"\\\\?\\" + Folder(), L"\\\\?\\" + Folder() + L"\\", Folder() + L"\\Setup\\..",
        Folder() + L"\\.\\"}) {
    EXPECT_EQ(Validated(argument), Folder()) << argument;
  }
}

TEST_F(InstallLocationTest, AcceptsARelativePath) {
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW((Folder() + L"\\Setup").c_str()));
  const std::wstring parent = Validated(L"..");
  const std::wstring sibling = Validated(L"..\\..\\Vantle");
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(parent, Folder());
  EXPECT_EQ(sibling, Folder());
}

TEST_F(InstallLocationTest, AcceptsAShortNameForm) {
  wchar_t short_form[MAX_PATH];
  const DWORD length = GetShortPathNameW(Folder().c_str(), short_form, MAX_PATH);
  ASSERT_NE(length, 0u);
  ASSERT_NE(std::wstring(short_form, length), Folder()) << "the file system made no short name";
  EXPECT_EQ(Validated(std::wstring(short_form, length)), Folder()) << short_form;
}

TEST_F(InstallLocationTest, RefusesOtherFolders) {
  for (const std::wstring& argument :
       {Folder() + L"\\Setup", Folder() + L"\\..", Folder() + L"\\..\\",
        Folder() + L"\\Setup\\identity.msix", Folder() + L"\\missing", Folder() + L"2",
        std::wstring(L"C:\\"), std::wstring(L"Vantle"),
        Folder().substr(0, 2) + L"\\DRUV\\Vantle"}) {
    EXPECT_EQ(Validated(argument), kRefusal) << argument;
  }
}

TEST_F(InstallLocationTest, RefusesAUncPathToTheSameFolder) {
  // \\localhost\C$\... reaches the folder through the administrative share on
  // Windows; its final path stays a UNC path either way.
  const std::wstring share_path =
      L"\\\\localhost\\" + Folder().substr(0, 1) + L"$" + Folder().substr(2);
  EXPECT_EQ(Validated(share_path), kRefusal);
  EXPECT_EQ(
      Validated(L"\\\\?\\UNC\\localhost\\" + Folder().substr(0, 1) + L"$" + Folder().substr(2)),
      kRefusal);
}

TEST_F(InstallLocationTest, AcceptsALinkThatResolvesToTheFolder) {
  if (!cindral::testing::RunsUnderWine()) GTEST_SKIP() << "the link is made by the build for Wine";
  const std::wstring link_path = cindral::testing::DosPathOfUnixPath(CINDRAL_BROKER_LINK_UNIX);
  ASSERT_FALSE(link_path.empty());
  EXPECT_EQ(Validated(link_path), Folder()) << link_path;
  EXPECT_EQ(Validated(link_path + L"\\Setup"), kRefusal) << link_path;
}

TEST_F(InstallLocationTest, RefusesTheFolderWhenItIsALinkToAnotherPlace) {
  if (cindral::testing::RunsUnderWine())
    GTEST_SKIP() << "Wine 8 makes the link, but reports the link's own path as the final "
                    "path of what it opens through it";
  const std::filesystem::path elsewhere =
      std::filesystem::temp_directory_path() / L"cindral-broker-elsewhere";
  std::filesystem::create_directories(elsewhere);
  testing::RemoveInstallFolder();
  std::filesystem::create_directories(std::filesystem::path(Folder()).parent_path());
  const bool linked = CreateSymbolicLinkW(
      Folder().c_str(), elsewhere.c_str(),
      SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  const DWORD link_error = GetLastError();
  const std::wstring answer = linked ? Validated(Folder()) : L"";
  if (linked) RemoveDirectoryW(Folder().c_str());
  testing::MakeInstallFolder();
  if (!linked)
    GTEST_SKIP() << "no directory link can be made here (error " << link_error
                 << "): on Windows it needs developer mode or the privilege";
  EXPECT_EQ(answer, kRefusal);
}

TEST_F(InstallLocationTest, FolderThatDoesNotExistYetPasses) {
  testing::RemoveInstallFolder();
  std::wstring lower = Folder();
  for (wchar_t& c : lower) c = towlower(c);
  const std::wstring written = Validated(Folder() + L"\\");
  const std::wstring lowered = Validated(lower);
  const std::wstring sub_folder = Validated(Folder() + L"\\Setup");
  testing::MakeInstallFolder();
  EXPECT_EQ(written, Folder());
  // The existing part takes the disk's spelling, the rest stays as written.
  const size_t druv = Folder().size() - std::wstring(L"DRUV\\Vantle").size();
  EXPECT_EQ(lowered, Folder().substr(0, druv) + L"druv\\vantle");
  EXPECT_EQ(sub_folder, kRefusal);
}

TEST(CanonicalPath, TakesTheDisksSpellingOfAFile) {
  testing::MakeInstallFolder();
  std::wstring lower = testing::InstallFolder() + L"\\SETUP\\IDENTITY.MSIX";
  EXPECT_EQ(CanonicalPath(lower), testing::InstallFolder() + L"\\Setup\\identity.msix");
  // Missing parts are appended as written, with "." and ".." applied.
  EXPECT_EQ(CanonicalPath(testing::InstallFolder() + L"\\setup\\New\\.\\Sub\\..\\x.msix"),
            testing::InstallFolder() + L"\\Setup\\New\\x.msix");
}

TEST(DropTrailingSeparators, KeepsRoots) {
  EXPECT_EQ(DropTrailingSeparators(L"C:\\"), L"C:\\");
  EXPECT_EQ(DropTrailingSeparators(L"C:\\a\\\\"), L"C:\\a");
  EXPECT_EQ(DropTrailingSeparators(L"\\\\server\\share\\"), L"\\\\server\\share\\");
  EXPECT_EQ(DropTrailingSeparators(L"\\\\server\\share\\a/"), L"\\\\server\\share\\a");
  EXPECT_EQ(DropTrailingSeparators(L"\\\\?\\C:\\"), L"\\\\?\\C:\\");
}

TEST(EqualIgnoringAsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualIgnoringAsciiCase(L"C:\\Program Files\\DRUV", L"c:\\PROGRAM FILES\\druv"));
  EXPECT_FALSE(EqualIgnoringAsciiCase(L"C:\\\u00C9t\u00E9", L"C:\\\u00E9T\u00C9"));
  EXPECT_FALSE(EqualIgnoringAsciiCase(L"\u0412\u0430\u043D\u0442\u043B\u0435",
                                      L"\u0432\u0430\u043D\u0442\u043B\u0435"));
  EXPECT_FALSE(EqualIgnoringAsciiCase(L"[", L"{"));  // 0x5B and 0x7B are not letters
  EXPECT_FALSE(EqualIgnoringAsciiCase(L"a", L"a\\"));
}

TEST(SamePathElements, ComparesElementsWithCaseAndAnySeparatorRun) {
  EXPECT_TRUE(SamePathElements(L"C:\\a\\Setup\\identity.msix", L"C:/a//Setup\\/identity.msix"));
  EXPECT_FALSE(SamePathElements(L"C:\\a\\setup\\identity.msix", L"C:\\a\\Setup\\identity.msix"));
  EXPECT_FALSE(SamePathElements(L"C:\\a\\Setup", L"C:\\a\\Setup\\identity.msix"));
  EXPECT_FALSE(SamePathElements(L"\\\\s\\a", L"s\\a"));
}

}  // namespace
}  // namespace cindral::broker
