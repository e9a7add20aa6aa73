// Real workers started the way the interface starts them: this program runs
// as its own worker (tests/ui/test_worker.h), inside a real job object.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "app/entry/worker_launch.h"
#include "common/command_line.h"
#include "tests/ui/run_support.h"
#include "tests/ui/test_worker.h"

namespace cindral {
namespace {

using namespace cindral::testing;

constexpr DWORD kWorkerTimeoutMs = 60000;

TEST(WorkerArgumentsTest, SplitBackIntoExactlyTheWorkersArguments) {
  const std::wstring arguments = WorkerArguments(L"C:\\T\\r.request", L"Local\\Cindral-{G}", 3);
  EXPECT_EQ(arguments, L"--worker \"C:\\T\\r.request\" \"Local\\Cindral-{G}\" 3");
  const std::wstring command_line =
      QuoteCommandLineArgument(L"C:\\Program Files\\Vantle\\Vantle.exe") + L" " + arguments;
  int count = 0;
  const LocalMemory<LPWSTR> split(CommandLineToArgvW(command_line.c_str(), &count));
  ASSERT_EQ(count, 5);
  EXPECT_STREQ(split.Get()[0], L"C:\\Program Files\\Vantle\\Vantle.exe");
  EXPECT_STREQ(split.Get()[1], L"--worker");
  EXPECT_STREQ(split.Get()[2], L"C:\\T\\r.request");
  EXPECT_STREQ(split.Get()[3], L"Local\\Cindral-{G}");
  EXPECT_STREQ(split.Get()[4], L"3");
}

class WorkerLaunchTest : public ::testing::Test {
 protected:
  void TearDown() override {
    jobs_.clear();
    EXPECT_TRUE(WaitForNoChildProcesses(kWorkerTimeoutMs)) << "a worker outlived its record";
    EXPECT_TRUE(folder_.RequestFiles().empty()) << "a request file was left behind";
  }

  DWORD WaitForExitCode(const WorkerJob& job) {
    EXPECT_EQ(WaitForSingleObject(job.process.Get(), kWorkerTimeoutMs), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(job.process.Get(), &code);
    return code;
  }

  TestFolder folder_;
  WorkerJobList jobs_;
};

TEST_F(WorkerLaunchTest, AWorkerExtractsInsideItsJobObjectAndItsDropLeavesNothing) {
  const fs::path archive = folder_.Copy("run1.zip");
  StartWorker(jobs_, {archive.wstring()}, {false, 2, 1});
  ASSERT_EQ(jobs_.size(), 1u);
  const WorkerJob& job = *jobs_.front();
  BOOL in_job = FALSE;
  ASSERT_TRUE(IsProcessInJob(job.process.Get(), job.job_object.Get(), &in_job));
  EXPECT_TRUE(in_job);
  EXPECT_FALSE(job.finished);

  EXPECT_EQ(WaitForExitCode(job), 0u);
  EXPECT_EQ(ReadJobState(job.State()), JobState::Done);
  EXPECT_EQ(ReadFileText(folder_.Work() / "run1.txt").substr(0, 6), "run 1\n");

  const std::wstring mapping = job.mapping_name;
  EXPECT_TRUE(MappingExists(mapping));
  jobs_.clear();
  EXPECT_FALSE(MappingExists(mapping));
}

TEST_F(WorkerLaunchTest, DroppingARecordEndsItsRunningWorker) {
  StartWorker(jobs_, {folder_.Touch("forever.hang").wstring()}, {false, 1, 1});
  HANDLE duplicate = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), jobs_.front()->process.Get(),
                              GetCurrentProcess(), &duplicate, SYNCHRONIZE, FALSE, 0));
  const UniqueHandle process(duplicate);
  EXPECT_EQ(WaitForSingleObject(process.Get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(CountChildProcesses(), 1u);
  jobs_.clear();
  EXPECT_EQ(WaitForSingleObject(process.Get(), kWorkerTimeoutMs), WAIT_OBJECT_0);
}

HANDLE WINAPI FailToCreateJobObject(LPSECURITY_ATTRIBUTES, LPCWSTR) {
  SetLastError(ERROR_NOT_ENOUGH_QUOTA);
  return nullptr;
}

BOOL WINAPI FailToAssign(HANDLE, HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(WorkerLaunchTest, AFailedConfinementLeavesNoWorkerAndNoRequestFile) {
  struct FailureCase {
    WorkerLaunchCalls calls;
    const char* text;
  };
  FailureCase cases[] = {
      {{}, "Cannot create a worker resource limit."},
      {{}, "Cannot apply worker resource limits."},
  };
  cases[0].calls.create_job_object = FailToCreateJobObject;
  cases[1].calls.assign_process = FailToAssign;
  // A worker that escaped would never end by itself.
  const std::wstring input = folder_.Touch("escaped.hang").wstring();
  for (const FailureCase& c : cases) {
    try {
      StartWorker(jobs_, {input}, {false, 1, 1}, c.calls);
      ADD_FAILURE() << "the launch succeeded";
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), c.text);
    }
    EXPECT_TRUE(jobs_.empty());
    EXPECT_TRUE(folder_.RequestFiles().empty()) << c.text;
    EXPECT_TRUE(WaitForNoChildProcesses(kWorkerTimeoutMs)) << c.text;
  }
}

TEST_F(WorkerLaunchTest, TheMemoryLimitRefusesAnAllocationPastIt) {
  StartWorker(jobs_, {folder_.Touch("greedy.allocate").wstring()}, {false, 1, 1});
  const WorkerJob& job = *jobs_.front();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  ASSERT_TRUE(QueryInformationJobObject(job.job_object.Get(), JobObjectExtendedLimitInformation,
                                        &limits, sizeof(limits), nullptr));
  const DWORD exit_code = WaitForExitCode(job);
  if (limits.ProcessMemoryLimit == 0 && RunsUnderWine())
    GTEST_SKIP() << "Wine accepts the process-memory limit of a job object and ignores it";
  EXPECT_EQ(
      limits.BasicLimitInformation.LimitFlags,
      static_cast<DWORD>(JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE));
  EXPECT_GE(limits.ProcessMemoryLimit, kMinWorkerMemoryLimit);
  EXPECT_LE(limits.ProcessMemoryLimit, kMaxWorkerMemoryLimit);
  EXPECT_EQ(exit_code, static_cast<DWORD>(kAllocationRefused));
}

}  // namespace
}  // namespace cindral
