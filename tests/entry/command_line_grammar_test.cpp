#include "app/entry/command_line_grammar.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/entry/roles.h"
#include "common/selection_request.h"

namespace cindral {
namespace {

using Arguments = std::vector<std::wstring>;

LaunchChoice Choose(Arguments real) {
  real.insert(real.begin(), L"C:\\Vantle\\Vantle.exe");
  return ChooseLaunch(real);
}

TEST(ChooseLaunch, NoArgumentsOpensTheInterfaceWaiting) {
  const LaunchChoice choice = ChooseLaunch({L"Vantle.exe"});
  EXPECT_EQ(choice.role, Role::kInterface);
  EXPECT_EQ(choice.selection, InterfaceSelection::kPreload);
  EXPECT_FALSE(choice.start_at_once);
  EXPECT_TRUE(choice.paths.empty());
  EXPECT_EQ(ChooseLaunch({}).role, Role::kInterface);
}

TEST(ChooseLaunch, DefaultsOnlyAlone) {
  EXPECT_EQ(Choose({L"--defaults"}).role, Role::kDefaultApps);
  const LaunchChoice with_more = Choose({L"--defaults", L"x"});
  EXPECT_EQ(with_more.role, Role::kInterface);
  EXPECT_TRUE(with_more.paths.empty());
  EXPECT_FALSE(with_more.start_at_once);
  EXPECT_EQ(Choose({L"--Defaults"}).role, Role::kInterface);
}

TEST(ChooseLaunch, WorkerNeedsThreeFurtherArguments) {
  const LaunchChoice worker =
      Choose({L"--worker", L"C:\\T\\r.request", L"Local\\Cindral-{G}", L"3", L"ignored"});
  EXPECT_EQ(worker.role, Role::kWorker);
  EXPECT_EQ(worker.request_path, L"C:\\T\\r.request");
  EXPECT_EQ(worker.mapping_name, L"Local\\Cindral-{G}");
  EXPECT_EQ(worker.thread_count, 3u);

  const LaunchChoice short_worker = Choose({L"--worker", L"r.request", L"map"});
  EXPECT_EQ(short_worker.role, Role::kInterface);
  EXPECT_EQ(short_worker.selection, InterfaceSelection::kPreload);
  EXPECT_TRUE(short_worker.paths.empty());
}

TEST(ChooseLaunch, HeadlessFormsKeepPathsUnchanged) {
  const LaunchChoice pack = Choose({L"--headless-pack", L"rel\\dir", L"C:\\file"});
  EXPECT_EQ(pack.role, Role::kHeadless);
  EXPECT_TRUE(pack.pack);
  EXPECT_EQ(pack.paths, (Arguments{L"rel\\dir", L"C:\\file"}));

  const LaunchChoice extract = Choose({L"--headless-extract", L"a.zip"});
  EXPECT_EQ(extract.role, Role::kHeadless);
  EXPECT_FALSE(extract.pack);
  EXPECT_EQ(extract.paths, Arguments{L"a.zip"});

  const LaunchChoice bare = Choose({L"--headless-extract"});
  EXPECT_EQ(bare.role, Role::kInterface);
  EXPECT_TRUE(bare.paths.empty());
}

TEST(ChooseLaunch, RequestNeedsItsFile) {
  const LaunchChoice request = Choose({L"--request", L"C:\\T\\r.request", L"extra"});
  EXPECT_EQ(request.role, Role::kInterface);
  EXPECT_EQ(request.selection, InterfaceSelection::kRequestFile);
  EXPECT_EQ(request.request_path, L"C:\\T\\r.request");
  EXPECT_TRUE(request.start_at_once);

  const LaunchChoice bare = Choose({L"--request"});
  EXPECT_EQ(bare.selection, InterfaceSelection::kPreload);
  EXPECT_FALSE(bare.start_at_once);
}

TEST(ChooseLaunch, ExtractAndPackStartAtOnceWithEveryPath) {
  const LaunchChoice pack = Choose({L"--pack", L"missing\\thing", L"", L"b.txt"});
  EXPECT_EQ(pack.selection, InterfaceSelection::kArguments);
  EXPECT_TRUE(pack.pack);
  EXPECT_TRUE(pack.start_at_once);
  EXPECT_EQ(pack.paths, (Arguments{L"missing\\thing", L"", L"b.txt"}));

  const LaunchChoice extract = Choose({L"--extract", L"not-an-archive.txt"});
  EXPECT_FALSE(extract.pack);
  EXPECT_EQ(extract.paths, Arguments{L"not-an-archive.txt"});
}

TEST(ChooseLaunch, SwitchesAreCaseSensitiveAndOnlyFirst) {
  const LaunchChoice capitals = Choose({L"--EXTRACT", L"a.zip"});
  EXPECT_EQ(capitals.selection, InterfaceSelection::kPreload);
  EXPECT_FALSE(capitals.start_at_once);
  EXPECT_EQ(capitals.paths, Arguments{L"a.zip"});

  const LaunchChoice second = Choose({L"a.zip", L"--worker", L"r", L"m", L"1"});
  EXPECT_EQ(second.role, Role::kInterface);
  EXPECT_EQ(second.paths, Arguments{L"a.zip"});
}

TEST(ChooseLaunch, PlainArgumentsPreloadOnlySupportedArchives) {
  const LaunchChoice choice = Choose({L"a.ZIP", L"b.7z", L"c.rar", L".zip", L"d.zip"});
  EXPECT_EQ(choice.paths, (Arguments{L"a.ZIP", L"b.7z", L"d.zip"}));
  EXPECT_FALSE(choice.pack);
}

TEST(ParseThreadCount, ReadsLikeADecimalPrefix) {
  EXPECT_EQ(ParseThreadCount(L"3"), 3u);
  EXPECT_EQ(ParseThreadCount(L"  \t12"), 12u);
  EXPECT_EQ(ParseThreadCount(L"+7"), 7u);
  EXPECT_EQ(ParseThreadCount(L"8cores"), 8u);
  EXPECT_EQ(ParseThreadCount(L"64 threads"), 64u);
  EXPECT_EQ(ParseThreadCount(L"0"), 1u);
  EXPECT_EQ(ParseThreadCount(L"-5"), 1u);
  EXPECT_EQ(ParseThreadCount(L""), 1u);
  EXPECT_EQ(ParseThreadCount(L"x4"), 1u);
  EXPECT_EQ(ParseThreadCount(L"+-4"), 1u);
  EXPECT_EQ(ParseThreadCount(L"99999999999999999999"), 2147483647u);
}

std::wstring CurrentDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, buffer);
  std::wstring text(buffer);
  if (!text.empty() && text.back() != L'\\') text.push_back(L'\\');
  return text;
}

TEST(PrepareInterfaceInputs, ArgumentsBecomeAbsoluteExceptEmptyOnes) {
  const InterfaceInputs inputs =
      PrepareInterfaceInputs(Choose({L"--pack", L"does-not-exist", L"", L"C:\\abs\\x"}));
  EXPECT_TRUE(inputs.pack);
  ASSERT_EQ(inputs.paths.size(), 3u);
  EXPECT_EQ(inputs.paths[0], CurrentDirectory() + L"does-not-exist");
  EXPECT_EQ(inputs.paths[1], L"");
  EXPECT_EQ(inputs.paths[2], L"C:\\abs\\x");

  const InterfaceInputs preload = PrepareInterfaceInputs(Choose({L"--EXTRACT", L"a.zip"}));
  EXPECT_EQ(preload.paths, Arguments{CurrentDirectory() + L"a.zip"});
}

TEST(PrepareInterfaceInputs, RequestFileReplacesInputsAsStoredAndIsDeleted) {
  const std::filesystem::path path = WriteSelectionRequest(true, {L"relative\\x", L"C:\\y"});
  const InterfaceInputs inputs = PrepareInterfaceInputs(Choose({L"--request", path.wstring()}));
  EXPECT_TRUE(inputs.pack);
  EXPECT_EQ(inputs.paths, (Arguments{L"relative\\x", L"C:\\y"}));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(PrepareInterfaceInputs, UnreadableRequestFailsAndStays) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "cindral-not-a-request.request";
  { std::ofstream(path, std::ios::binary) << "not a request"; }
  try {
    PrepareInterfaceInputs(Choose({L"--request", path.wstring()}));
    FAIL() << "accepted a file that is not a request";
  } catch (const std::exception& failure) {
    EXPECT_STREQ(failure.what(), "Invalid selection request.");
  }
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace cindral
