// Starts the real Vantle.exe. Without a display its error box returns at once,
// so a failing start ends with exit code 1 instead of waiting for a click.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/selection_request.h"
#include "tests/e2e/process_runner.h"

namespace cindral {
namespace {

std::filesystem::path Vantle() { return testing::DistFolder() / "Vantle.exe"; }

TEST(VantleStart, RequestThatIsNotARequestExitsOneAndStays) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "cindral-e2e-not-a-request.request";
  { std::ofstream(path, std::ios::binary) << "hello"; }
  EXPECT_EQ(testing::RunProgram(Vantle(), {L"--request", path.wstring()}), 1u);
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove(path);
}

TEST(VantleStart, MissingRequestFileExitsOne) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "cindral-e2e-absent.request";
  std::filesystem::remove(path);
  EXPECT_EQ(testing::RunProgram(Vantle(), {L"--request", path.wstring()}), 1u);
}

TEST(VantleStart, WorkerWithoutItsMappingExitsOneAndDeletesItsRequest) {
  const std::filesystem::path request = WriteSelectionRequest(false, {L"C:\\a.zip"});
  EXPECT_EQ(testing::RunProgram(Vantle(),
                                {L"--worker", request.wstring(),
                                 L"Local\\Cindral-{00000000-0000-0000-0000-000000000000}", L"2"}),
            1u);
  EXPECT_FALSE(std::filesystem::exists(request));
}

TEST(VantleStart, WorkerWithAnUnreadableRequestKeepsIt) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "cindral-e2e-worker-bad.request";
  { std::ofstream(path, std::ios::binary) << "garbage!garbage!"; }
  EXPECT_EQ(testing::RunProgram(Vantle(), {L"--worker", path.wstring(), L"Local\\x", L"1"}), 1u);
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace cindral
