// Publishing staged items on real folders: folders the destination lacks
// arrive whole, everything else one by one.
#include "app/jobs/publishing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/jobs/engine_callbacks.h"
#include "app/jobs/job_host.h"
#include "tests/jobs/job_test_folder.h"

namespace cindral {
namespace {

namespace fs = std::filesystem;

class PublishingTest : public testing::JobFolderTest {
 protected:
  void SetUp() override {
    JobFolderTest::SetUp();
    destination_ = folder_ / L"out";
    staging_ = destination_ / L".Cindral-staging";
    fs::create_directories(staging_);
  }

  // A staged file, written the way the extract callback leaves it.
  void Stage(const std::wstring& relative, const std::string& content) {
    fs::create_directories((staging_ / relative).parent_path());
    WriteFile(L"out\\.Cindral-staging\\" + relative, content);
    items_.push_back({relative, false, {}, false, true});
  }
  void StageFolder(const std::wstring& relative) {
    fs::create_directories(staging_ / relative);
    items_.push_back({relative, true, {}, false, true});
  }

  std::string Publish() {
    HeadlessJobHost host;
    try {
      PublishExtractedItems(destination_.wstring(), staging_.wstring(), items_, host);
    } catch (const std::runtime_error& failure) {
      return failure.what();
    }
    return "";
  }

  fs::path destination_;
  fs::path staging_;
  std::vector<ExtractItem> items_;
};

// What is there stays; a missing folder arrives whole (nothing of it is left
// in the staging folder), while a present one takes its items one by one and
// its staged copy stays behind, empty, for the staging folder's removal.
TEST_F(PublishingTest, MissingFoldersArriveWholeBesideWhatIsThere) {
  fs::create_directories(destination_ / L"dir");
  WriteFile(L"out\\dir\\mine.txt", "mine");
  Stage(L"top.txt", "top");
  Stage(L"dir\\b.txt", "b");
  StageFolder(L"dir\\new");
  Stage(L"dir\\new\\deep\\c.txt", "c");
  StageFolder(L"empty");

  EXPECT_EQ(Publish(), "");
  EXPECT_EQ(ReadFile(destination_ / L"top.txt"), "top");
  EXPECT_EQ(ReadFile(destination_ / L"dir" / L"mine.txt"), "mine");
  EXPECT_EQ(ReadFile(destination_ / L"dir" / L"b.txt"), "b");
  EXPECT_EQ(ReadFile(destination_ / L"dir" / L"new" / L"deep" / L"c.txt"), "c");
  EXPECT_TRUE(fs::is_directory(destination_ / L"empty"));
  EXPECT_TRUE(fs::is_empty(staging_ / L"dir"));
  EXPECT_FALSE(fs::exists(staging_ / L"empty"));
}

// Windows finds "Été" when asked for "été": items that name one folder in
// two spellings arrive in it together, not as a second move that fails.
TEST_F(PublishingTest, FolderSpelledInTwoCasesArrivesOnce) {
  Stage(L"\u00c9t\u00e9\\a.txt", "a");
  items_.push_back({L"\u00e9t\u00e9\\b.txt", false, {}, false, true});
  WriteFile(L"out\\.Cindral-staging\\\u00c9t\u00e9\\b.txt", "b");
  items_.push_back({L"\u00c9T\u00c9\\sub", true, {}, false, true});
  fs::create_directories(staging_ / L"\u00c9t\u00e9" / L"sub");

  EXPECT_EQ(Publish(), "");
  EXPECT_EQ(ReadFile(destination_ / L"\u00c9t\u00e9" / L"a.txt"), "a");
  EXPECT_EQ(ReadFile(destination_ / L"\u00c9t\u00e9" / L"b.txt"), "b");
  EXPECT_TRUE(fs::is_directory(destination_ / L"\u00c9t\u00e9" / L"sub"));
}

// An item the engine never finished keeps its folder from moving whole, so
// it fails its own rename as before instead of silently going missing.
TEST_F(PublishingTest, UnstagedItemFailsInsteadOfVanishingWithItsFolder) {
  Stage(L"dir\\a.txt", "a");
  items_.push_back({L"dir\\never.txt", false, {}, false, false});
  Stage(L"other\\c.txt", "c");

  EXPECT_EQ(Publish(), "Cannot publish extracted file.");
  EXPECT_EQ(ReadFile(destination_ / L"dir" / L"a.txt"), "a");
  EXPECT_TRUE(fs::is_directory(staging_ / L"dir"));
  EXPECT_FALSE(fs::exists(destination_ / L"other"));
}

}  // namespace
}  // namespace cindral
