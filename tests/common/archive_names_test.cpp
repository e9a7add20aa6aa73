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

}  // namespace
}  // namespace cindral
