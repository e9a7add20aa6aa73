#include "common/archive_names.h"

#include <gtest/gtest.h>

namespace cindral {
namespace {

TEST(IsSupportedArchiveName, AcceptsZipAnd7zInAnyAsciiCase) {
  for (const wchar_t* name :
       {L"a.zip", L"a.ZIP", L"a.Zip", L"b.7z", L"b.7Z", L"C:\\x\\y.zip", L"\\\\server\\share\\d.7z",
        L"dir/e.zip", L"..zip", L"x.tar.zip", L"C:a.zip", L"\\\\?\\C:\\long\\f.7z"}) {
    EXPECT_TRUE(IsSupportedArchiveName(name)) << name;
  }
}

TEST(IsSupportedArchiveName, RejectsOtherNames) {
  for (const wchar_t* name : {L"c.rar", L".zip", L"C:\\dir\\.zip", L"zip", L"a.zip.txt", L"a.zipx",
                              L"a.7", L"a.zip\\", L"a.zip\\b", L"folder.zip/", L".", L"..", L"",
                              L"a.z\u0130p", L"a.\uFF5Aip", L"a.zip.", L"a.zip "}) {
    EXPECT_FALSE(IsSupportedArchiveName(name)) << name;
  }
}

TEST(IsSupportedArchiveName, AlternateStreamEndsTheComponent) {
  EXPECT_TRUE(IsSupportedArchiveName(L"C:\\d\\a.zip:stream"));
  EXPECT_TRUE(IsSupportedArchiveName(L"a.7z::$DATA"));
  EXPECT_FALSE(IsSupportedArchiveName(L"C:\\d\\a.txt:x.zip"));
  EXPECT_FALSE(IsSupportedArchiveName(L".zip:stream"));
}

// The names new archives and the pack command's title are made from.
TEST(SplitPathName, StemDropsStreamAndLastExtension) {
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
    const wchar_t* stem;
  };
  for (const Case& c :
       {Case{L"C:\\Data\\report.docx", L"report.docx", L"report"},
        Case{L"C:\\x\\a.ZIP", L"a.ZIP", L"a"},
        Case{L"C:\\x\\photos.2020.jpg", L"photos.2020.jpg", L"photos.2020"},
        Case{L"C:\\x\\photos.2020", L"photos.2020", L"photos"},
        Case{L"C:\\x\\.zip", L".zip", L".zip"}, Case{L"C:\\x\\x.zip.", L"x.zip.", L"x.zip"},
        Case{L"C:\\x\\c.zip:extra", L"c.zip:extra", L"c"}, Case{L"C:\\x\\..", L"..", L".."},
        Case{L"d/e.tar.gz", L"e.tar.gz", L"e.tar"}, Case{L"C:\\", L"", L""},
        Case{L"\\\\server\\share", L"", L""}, Case{L"\\\\server\\share\\f.7z", L"f.7z", L"f"}}) {
    const PathNameParts parts = SplitPathName(c.path);
    EXPECT_EQ(parts.name, c.name) << c.path;
    EXPECT_EQ(parts.stem, c.stem) << c.path;
  }
}

TEST(ParentFolderName, IsEmptyDirectlyUnderARoot) {
  EXPECT_EQ(ParentFolderName(L"C:\\Work\\a.txt"), L"Work");
  EXPECT_EQ(ParentFolderName(L"C:\\Work\\sub.d/b.txt"), L"sub.d");
  EXPECT_EQ(ParentFolderName(L"C:\\a.txt"), L"");
  EXPECT_EQ(ParentFolderName(L"\\\\server\\share\\a.txt"), L"");
  EXPECT_EQ(ParentFolderName(L"\\\\server\\share\\Team\\a.txt"), L"Team");
  EXPECT_EQ(ParentFolderName(L"a.txt"), L"");
}

}  // namespace
}  // namespace cindral
