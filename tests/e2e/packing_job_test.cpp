// Packing through the real program: names and numbering, refusals that
// leave nothing behind, and a tree that comes back identically.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/e2e/job_support.h"
#include "tests/e2e/process_runner.h"

namespace cindral {
namespace {

using namespace cindral::testing;

using HeadlessPacking = JobTest;

TEST_F(HeadlessPacking, OneFileIsNamedAfterItsStemAndNumberedWhenTaken) {
  const fs::path file = work_ / "report.final.txt";
  WriteBytes(file, "report\n");
  ASSERT_EQ(Headless(L"pack", {file}), 0u) << LastError();
  EXPECT_TRUE(fs::is_regular_file(work_ / "report.final.zip"));
  ASSERT_EQ(Headless(L"pack", {file}), 0u) << LastError();
  EXPECT_TRUE(fs::is_regular_file(work_ / "report.final (1).zip"));
  // A folder holding the next name is passed over, not touched.
  fs::create_directory(work_ / "report.final (2).zip");
  ASSERT_EQ(Headless(L"pack", {file}), 0u) << LastError();
  EXPECT_TRUE(fs::is_regular_file(work_ / "report.final (3).zip"));
  EXPECT_TRUE(fs::is_empty(work_ / "report.final (2).zip"));
  EXPECT_EQ(ReadBytes(work_ / "report.final.zip"), ReadBytes(work_ / "report.final (3).zip"))
      << "the same file packed twice should give the same bytes";
  EXPECT_TRUE(CindralLeftovers(work_).empty());
}

TEST_F(HeadlessPacking, FolderKeepsItsNameAsTheTopLevel) {
  fs::create_directories(work_ / "photos.2024" / "may");
  WriteBytes(work_ / "photos.2024" / "may" / "p.txt", "picture\n");
  ASSERT_EQ(Headless(L"pack", {work_ / "photos.2024"}), 0u) << LastError();
  const fs::path out = work_ / "out";
  fs::create_directory(out);
  fs::rename(work_ / "photos.2024.zip", out / "photos.2024.zip");
  ASSERT_EQ(Headless(L"extract", {out / "photos.2024.zip"}), 0u) << LastError();
  EXPECT_EQ(ListTree(out), (std::vector<std::string>{"photos.2024.zip", "photos.2024/",
                                                     "photos.2024/may/", "photos.2024/may/p.txt"}));
  EXPECT_EQ(ReadBytes(out / "photos.2024" / "may" / "p.txt"), "picture\n");
}

TEST_F(HeadlessPacking, SeveralItemsAreNamedAfterTheirFolder) {
  const fs::path folder = work_ / "work.items";
  fs::create_directories(folder);
  WriteBytes(folder / "one.txt", "1");
  WriteBytes(folder / "two.txt", "2");
  ASSERT_EQ(Headless(L"pack", {folder / "one.txt", folder / "two.txt"}), 0u) << LastError();
  const fs::path archive = folder / "work.items.zip";
  ASSERT_TRUE(fs::is_regular_file(archive));

  const fs::path out = work_ / "out";
  fs::create_directory(out);
  fs::rename(archive, out / "work.items.zip");
  ASSERT_EQ(Headless(L"extract", {out / "work.items.zip"}), 0u) << LastError();
  EXPECT_EQ(ListTree(out), (std::vector<std::string>{"one.txt", "two.txt", "work.items.zip"}));
}

TEST_F(HeadlessPacking, DuplicateTopLevelNamesAreRefusedUnlessOnlyNonAsciiCaseDiffers) {
  fs::create_directories(work_ / "a");
  fs::create_directories(work_ / "b");
  WriteBytes(work_ / "a" / "Report.txt", "a");
  WriteBytes(work_ / "b" / "REPORT.TXT", "b");
  EXPECT_EQ(Headless(L"pack", {work_ / "a" / "Report.txt", work_ / "b" / "REPORT.TXT"}), 1u);
  EXPECT_EQ(LastError(), "Selection contains duplicate top-level names.");
  EXPECT_EQ(ListTree(work_ / "a"), std::vector<std::string>{"Report.txt"});

  WriteBytes(work_ / "a" / U8("\u00c4.txt"), "upper");
  WriteBytes(work_ / "b" / U8("\u00e4.txt"), "lower");
  EXPECT_EQ(Headless(L"pack", {work_ / "a" / U8("\u00c4.txt"), work_ / "b" / U8("\u00e4.txt")}), 0u)
      << LastError();
  EXPECT_TRUE(fs::is_regular_file(work_ / "a" / "a.zip"));
}

TEST_F(HeadlessPacking, MissingTopLevelItemLeavesNoArchive) {
  WriteBytes(work_ / "here.txt", "here");
  EXPECT_EQ(Headless(L"pack", {work_ / "here.txt", work_ / "gone.txt"}), 1u);
  EXPECT_EQ(LastError(), "Cannot read source metadata.");
  EXPECT_EQ(ListTree(work_), std::vector<std::string>{"here.txt"});
}

// The build makes e2e_links/src/level1/level2/level3 -> ../.. as a Unix link.
TEST_F(HeadlessPacking, LinkDeepBelowTheSelectionRefusesTheJob) {
  if (!RunsUnderWine()) GTEST_SKIP() << "uses the Unix link the build makes beside the tests";
  const fs::path links = DistFolder().parent_path() / "bin" / "e2e_links";
  const fs::path link = links / "src" / "level1" / "level2" / "level3";
  ASSERT_NE(GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES)
      << "the build step that makes the link did not run";
  fs::remove(links / "src.zip");
  EXPECT_EQ(Headless(L"pack", {links / "src"}), 1u);
  EXPECT_EQ(LastError(), "Source reparse points are blocked.");
  EXPECT_FALSE(fs::exists(links / "src.zip"));
  EXPECT_TRUE(CindralLeftovers(links).empty());
}

// About a thousand files: non-ASCII names, empty files and folders, and a
// path well past 260 characters; names, bytes and times must come back.
TEST_F(HeadlessPacking, TreeComesBackIdentically) {
  const fs::path source = work_ / "tree";
  const std::vector<std::string> folder_names = {"plain", "\u00e9t\u00e9", "\u65e5\u672c\u8a9e",
                                                 "\u0394\u03ad\u03bb\u03c4\u03b1", "with space"};
  FILETIME base{};
  SYSTEMTIME when{2020, 3, 0, 4, 10, 20, 30, 0};
  SystemTimeToFileTime(&when, &base);
  int made = 0;
  for (const std::string& folder_name : folder_names) {
    for (int sub = 0; sub < 10; ++sub) {
      const fs::path folder = source / U8(folder_name) / L"sub" / std::to_wstring(sub);
      fs::create_directories(folder);
      for (int file = 0; file < 20; ++file, ++made) {
        std::string bytes;
        for (int i = 0; i < (made * 37) % 3000; ++i) bytes.push_back(static_cast<char>(made + i));
        const fs::path path = folder / (L"f" + std::to_wstring(file) + L"\u00fc.bin");
        WriteBytes(path, bytes);
        ULARGE_INTEGER time{{base.dwLowDateTime, base.dwHighDateTime}};
        time.QuadPart += static_cast<ULONGLONG>(made) * 600000000ULL;  // a minute apart
        const FILETIME file_time{time.LowPart, time.HighPart};
        UniqueHandle handle(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(handle) << path;
        ASSERT_TRUE(SetFileTime(handle.Get(), nullptr, nullptr, &file_time));
      }
    }
  }
  fs::create_directories(source / "empty" / "nested empty");
  fs::path deep = source / "deep";
  while (deep.wstring().size() < 300) deep /= std::string(40, 'd');
  fs::create_directories(Long(deep));
  WriteBytes(Long(deep / "bottom.txt"), "at the bottom\n");
  WriteBytes(Long(deep / "zero"), "");
  ASSERT_GT((deep / "bottom.txt").wstring().size(), 260u);

  ASSERT_EQ(Headless(L"pack", {source}), 0u) << LastError();
  const fs::path out = work_ / "out";
  fs::create_directory(out);
  fs::rename(work_ / "tree.zip", out / "tree.zip");
  ASSERT_EQ(Headless(L"extract", {out / "tree.zip"}), 0u) << LastError();

  const fs::path copy = out / "tree";
  const std::vector<std::string> names = ListTree(source);
  ASSERT_EQ(ListTree(copy), names);
  EXPECT_GE(names.size(), 1000u);
  for (std::string name : names) {
    if (name.ends_with('/')) continue;
    std::replace(name.begin(), name.end(), '/', '\\');
    const fs::path original = Long(source / U8(name));
    const fs::path extracted = Long(copy / U8(name));
    ASSERT_EQ(ReadBytes(extracted), ReadBytes(original)) << name;
    // ZIP's own time field counts in two-second steps.
    const auto difference = fs::last_write_time(extracted) - fs::last_write_time(original);
    EXPECT_LE(std::chrono::abs(difference), std::chrono::seconds(2)) << name;
  }
  EXPECT_TRUE(CindralLeftovers(work_).empty());
  EXPECT_TRUE(CindralLeftovers(out).empty());

  // Again over the extracted tree: the first file conflicts, and the staging
  // folder, deep paths and all, must still go.
  EXPECT_EQ(Headless(L"extract", {out / "tree.zip"}), 1u);
  EXPECT_EQ(LastError(),
            "Input required. Open this archive in Cindral to choose a password or resolve a "
            "conflict.");
  EXPECT_TRUE(CindralLeftovers(out).empty());
}

}  // namespace
}  // namespace cindral
