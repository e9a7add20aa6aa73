// What a run decides, without processes or windows: how many workers, how
// much memory each, the progress, what a tick finds and how a run ends.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/entry/worker_launch.h"
#include "app/ui/supervision.h"

namespace cindral {
namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

struct ParametersCase {
  uint64_t processors;
  size_t inputs;
  bool pack;
  uint64_t max_workers;
  uint32_t threads;
};

TEST(RunParametersTest, SharesProcessorsAmongAtMostFourWorkers) {
  const ParametersCase cases[] = {
      // The worked examples: eight processors extract three archives with 3 x 2
      // threads and pack with 1 x 8; four archives run 4 x 2; two processors 1 x 2.
      {8, 3, false, 3, 2},   {8, 3, true, 1, 8},      {8, 4, false, 4, 2},    {2, 4, false, 1, 2},
      {1, 1, false, 1, 1},   {1, 6, false, 1, 1},     {1, 3, true, 1, 1},     {2, 1, false, 1, 2},
      {2, 6, true, 1, 2},    {8, 1, false, 1, 8},     {8, 2, false, 2, 4},    {8, 6, false, 4, 2},
      {64, 1, false, 1, 64}, {64, 5, false, 4, 16},   {64, 6, true, 1, 64},   {65, 3, false, 3, 21},
      {65, 6, false, 4, 16}, {512, 6, false, 4, 128}, {512, 2, true, 1, 512}, {3, 6, false, 1, 3},
      {5, 6, false, 2, 2},   {7, 6, false, 3, 2},     {0, 2, false, 1, 1},    {8, 0, false, 1, 8},
  };
  for (const ParametersCase& c : cases) {
    const RunParameters parameters = ChooseRunParameters(c.pack, c.inputs, c.processors);
    EXPECT_EQ(parameters.max_workers, c.max_workers)
        << c.processors << " processors, " << c.inputs << " inputs, pack " << c.pack;
    EXPECT_EQ(parameters.threads_per_worker, c.threads)
        << c.processors << " processors, " << c.inputs << " inputs, pack " << c.pack;
  }
}

TEST(WorkerMemoryLimitTest, HalfTheFreeMemoryPerWorkerWithinItsBounds) {
  EXPECT_EQ(WorkerMemoryLimit(12 * kGiB, 2), 2 * kGiB);      // 3 GiB, clamped
  EXPECT_EQ(WorkerMemoryLimit(1536 * kMiB, 4), 256 * kMiB);  // 192 MiB, raised
  EXPECT_EQ(WorkerMemoryLimit(4 * kGiB, 4), 512 * kMiB);
  EXPECT_EQ(WorkerMemoryLimit(3 * kGiB, 1), 1536 * kMiB);
  EXPECT_EQ(WorkerMemoryLimit(100 * kGiB, 1), 2 * kGiB);
  EXPECT_EQ(WorkerMemoryLimit(100 * kGiB, 4), 2 * kGiB);
  EXPECT_EQ(WorkerMemoryLimit(0, 1), 256 * kMiB);  // a failed memory query
  EXPECT_EQ(WorkerMemoryLimit(1, 4), 256 * kMiB);
  // Both divisions round down, and the bounds are inclusive.
  EXPECT_EQ(WorkerMemoryLimit(4 * kGiB + 3, 1), 2 * kGiB);
  EXPECT_EQ(WorkerMemoryLimit(2 * kGiB + 6, 3), 341 * kMiB + 349526);
  EXPECT_EQ(WorkerMemoryLimit(512 * kMiB + 1, 1), 256 * kMiB);
  EXPECT_EQ(WorkerMemoryLimit(UINT64_MAX, 1), 2 * kGiB);
  EXPECT_EQ(WorkerMemoryLimit(8 * kGiB, 0), 2 * kGiB);
}

TEST(JobProgressShareTest, OnlyADoneJobReachesAHundred) {
  EXPECT_EQ(JobProgressShare(true, JobState::Done, 0, 0), 100u);
  EXPECT_EQ(JobProgressShare(false, JobState::Done, 10, 10), 99u);  // process still running
  EXPECT_EQ(JobProgressShare(true, JobState::Failed, 10, 10), 99u);
  EXPECT_EQ(JobProgressShare(false, JobState::Running, 0, 5), 0u);
  EXPECT_EQ(JobProgressShare(false, JobState::Running, 200, 101), 50u);
  EXPECT_EQ(JobProgressShare(false, JobState::Running, 10, 25), 99u);  // counters overshoot
  EXPECT_EQ(JobProgressShare(false, JobState::Running, 10, -3), 0u);
  EXPECT_EQ(JobProgressShare(false, JobState::Running, INT64_MAX, INT64_MAX / 2), 49u);
}

JobReading Running(int64_t total, int64_t completed, std::wstring item = {}) {
  JobReading reading;
  reading.total = total;
  reading.completed = completed;
  reading.current_item = std::move(item);
  return reading;
}

JobReading Ended(JobState state) {
  JobReading reading;
  reading.process_ended = true;
  reading.state = state;
  return reading;
}

JobReading Finished(JobState state) {
  JobReading reading;
  reading.finished = true;
  reading.state = state;
  return reading;
}

TEST(ReadTickTest, ProgressCountsUnlaunchedInputsAsNothing) {
  // Five inputs, two launched: one done, one half way.
  const TickFindings findings = ReadTick({Ended(JobState::Done), Running(10, 5)}, false, 5);
  EXPECT_DOUBLE_EQ(findings.progress, 30.0);
  EXPECT_EQ(findings.newly_finished, std::vector<size_t>{0});
  EXPECT_TRUE(findings.died.empty());
  EXPECT_FALSE(findings.failed_seen);
  EXPECT_FALSE(findings.cancelled_seen);

  EXPECT_DOUBLE_EQ(ReadTick({}, false, 3).progress, 0.0);
  EXPECT_DOUBLE_EQ(ReadTick({Finished(JobState::Done)}, false, 1).progress, 100.0);
  // Packing is one job for every input.
  EXPECT_DOUBLE_EQ(ReadTick({Running(4, 3)}, true, 7).progress, 75.0);
  EXPECT_DOUBLE_EQ(ReadTick({Finished(JobState::Done)}, true, 7).progress, 100.0);
}

TEST(ReadTickTest, AnEndedProcessWithoutOutcomeDied) {
  const TickFindings findings =
      ReadTick({Ended(JobState::Running), Ended(JobState::Cancelled), Finished(JobState::Running)},
               false, 3);
  EXPECT_EQ(findings.newly_finished, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(findings.died, std::vector<size_t>{0});
  EXPECT_TRUE(findings.failed_seen);
  EXPECT_TRUE(findings.cancelled_seen);
  // Marked in an earlier tick: its state was settled then and is not died twice.
  EXPECT_TRUE(ReadTick({Finished(JobState::Failed)}, false, 1).died.empty());
  // A process still running is never judged by its state alone.
  const TickFindings running = ReadTick({Running(0, 0)}, false, 1);
  EXPECT_FALSE(running.failed_seen);
  EXPECT_TRUE(running.newly_finished.empty());
}

TEST(ReadTickTest, TheLastRunningWorkersTextIsTheStatusAndPromptsWaitTheirTurn) {
  JobReading asking = Running(0, 0, L"Password");
  asking.prompt_due = true;
  JobReading ended_asking = Ended(JobState::Done);
  ended_asking.prompt_due = true;
  ended_asking.current_item = L"gone.txt";
  const TickFindings findings =
      ReadTick({Running(1, 0, L"a.txt"), asking, Running(1, 0), ended_asking}, false, 4);
  EXPECT_EQ(findings.status_text, L"Password");
  EXPECT_EQ(findings.prompts_due, std::vector<size_t>{1});

  EXPECT_FALSE(ReadTick({Running(1, 0)}, false, 1).status_text.has_value());
}

TEST(RunEndTest, EveryMixOfOutcomes) {
  EXPECT_EQ(DecideRunEnd(true, 5, 5, true), RunEnd::kContinue);
  EXPECT_EQ(DecideRunEnd(false, 3, 5, false), RunEnd::kContinue);
  EXPECT_EQ(DecideRunEnd(false, 5, 5, false), RunEnd::kClose);
  EXPECT_EQ(DecideRunEnd(false, 5, 5, true), RunEnd::kTryAgain);

  struct EndCase {
    std::vector<JobReading> jobs;
    RunEnd end;
  };
  const EndCase cases[] = {
      {{Ended(JobState::Done), Ended(JobState::Done)}, RunEnd::kClose},
      {{Ended(JobState::Done), Ended(JobState::Cancelled)}, RunEnd::kClose},
      {{Ended(JobState::Cancelled), Ended(JobState::Cancelled)}, RunEnd::kClose},
      {{Ended(JobState::Done), Ended(JobState::Failed)}, RunEnd::kTryAgain},
      {{Ended(JobState::Cancelled), Ended(JobState::Failed)}, RunEnd::kTryAgain},
      {{Ended(JobState::Done), Ended(JobState::Running)}, RunEnd::kTryAgain},  // died
      {{Ended(JobState::Cancelled), Ended(JobState::Running)}, RunEnd::kTryAgain},
      {{Finished(JobState::Failed), Running(1, 0)}, RunEnd::kContinue},
  };
  for (const EndCase& c : cases) {
    const TickFindings findings = ReadTick(c.jobs, false, c.jobs.size());
    const bool any_unfinished =
        std::any_of(c.jobs.begin(), c.jobs.end(),
                    [](const JobReading& job) { return !job.finished && !job.process_ended; });
    EXPECT_EQ(DecideRunEnd(any_unfinished, c.jobs.size(), c.jobs.size(), findings.failed_seen),
              c.end);
  }
}

TEST(RunEndTest, TheTextsShownAtTheEnd) {
  const std::vector<JobOutcome> outcomes = {
      {JobState::Cancelled, L"Cancelled."}, {JobState::Done, L""},
      {JobState::Done, L"first notice"},    {JobState::Failed, L"first failure"},
      {JobState::Done, L"second notice"},   {JobState::Failed, L"second failure"},
  };
  EXPECT_EQ(NoticeAtClose(outcomes), L"first notice");
  EXPECT_EQ(NoticeAtClose({{JobState::Done, L""}, {JobState::Cancelled, L"Cancelled."}}),
            std::nullopt);
  EXPECT_EQ(FailureText(outcomes, std::nullopt), L"first failure");
  EXPECT_EQ(FailureText(outcomes, L"Cannot start archive worker."), L"first failure");
  // A launch failure is shown when no failed job says anything.
  EXPECT_EQ(FailureText({{JobState::Done, L""}}, L"Cannot start archive worker."),
            L"Cannot start archive worker.");
  EXPECT_EQ(FailureText({{JobState::Failed, L""}}, L"Cannot start archive worker."),
            L"Cannot start archive worker.");
  EXPECT_EQ(FailureText({{JobState::Failed, L""}}, std::nullopt), L"");
}

}  // namespace
}  // namespace cindral
