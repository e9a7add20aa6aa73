// A run: from the user's start to its end, the interface works through its
// inputs with one worker per job, at most a few at once, watches them through
// their shared states every timer tick, answers their questions with prompts,
// and finally closes the program or reports why it could not finish.
//
// The decisions (how many workers, the progress, what a tick found, how the
// run ends) are plain functions over plain values; StartRun, StopRun and
// SuperviseJobs are the thin layer that reads the workers and acts.
// Everything here runs on the interface's main thread.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/entry/worker_launch.h"
#include "app/entry/worker_shared_state.h"

namespace cindral {

// --- Decisions --------------------------------------------------------------

struct RunParameters {
  uint64_t max_workers = 1;
  uint32_t threads_per_worker = 1;
};

// Packing runs one worker with every processor. Extracting runs at most
// four, never more than there are inputs, and half the processors (at least
// one); the processors are shared out among the workers.
RunParameters ChooseRunParameters(bool pack, size_t input_count, uint64_t logical_processors);

// What one tick reads of one record.
struct JobReading {
  bool finished = false;       // marked by an earlier tick
  bool process_ended = false;  // the worker's process has ended by now
  JobState state = JobState::Running;
  int64_t total = 0;
  int64_t completed = 0;
  std::wstring current_item;
  bool prompt_due = false;  // a prompt kind is raised and not answered
};

// What one tick found. Indexes are into the job list.
struct TickFindings {
  std::vector<size_t> newly_finished;  // to be marked finished now
  std::vector<size_t> died;            // of those, ended without an outcome
  std::vector<size_t> prompts_due;     // in launch order, one at a time
  bool failed_seen = false;            // a died worker counts as failed
  bool cancelled_seen = false;
  double progress = 0;  // 0 to 100 over the whole run
  std::optional<std::wstring> status_text;
};

// A job's share of the run in percent: 100 once it ended Done, otherwise its
// counters' percentage kept below 100 (0 while no total is known).
unsigned JobProgressShare(bool finished, JobState state, int64_t total, int64_t completed);

// Inputs not launched yet count as 0; packing has one job for all inputs.
TickFindings ReadTick(const std::vector<JobReading>& jobs, bool pack, size_t input_count);

enum class RunEnd {
  kContinue,  // workers still run or inputs wait
  kClose,     // every job Done, or the run was cancelled: the program ends
  kTryAgain,  // something failed: report it and offer the same run again
};

RunEnd DecideRunEnd(bool any_unfinished, uint64_t next_index, size_t input_count, bool failed_seen);

// A finished job as the end of a run sees it.
struct JobOutcome {
  JobState state = JobState::Running;
  std::wstring message;
};

// The notice of the first job that succeeded with one, shown before the
// program closes; nullopt when there is none.
std::optional<std::wstring> NoticeAtClose(const std::vector<JobOutcome>& jobs);

// The text of the could-not-finish box: the first failed job's message; when
// that is empty or no job failed, a launch failure's own text.
std::wstring FailureText(const std::vector<JobOutcome>& jobs,
                         const std::optional<std::wstring>& launch_failure);

// --- The run ----------------------------------------------------------------

// What the supervision asks of the main window, which owns the buttons.
struct RunWindow {
  HWND window = nullptr;                 // owner of the prompts and boxes; destroyed at a clean end
  std::function<void()> show_working;    // main button "Working…", disabled; cancel shown
  std::function<void()> show_try_again;  // main button "Try again", enabled; cancel hidden
};

// The interface's run values. The input list and pack mode outlive a run, so
// "Try again" repeats it over the same inputs.
struct RunState {
  bool pack = false;
  std::vector<std::wstring> inputs;

  bool busy = false;
  bool prompt_open = false;  // the tick does no supervision while set
  uint64_t next_index = 0;   // next input to launch; input count stops launching
  RunParameters parameters;
  double progress = 0;  // 0 to 100
  std::wstring status_text;
  WorkerJobList jobs;
  // A launch that failed during a tick: the run ends as failed even when
  // every worker then ends well, and its text is shown if no job has one.
  std::optional<std::wstring> launch_failure;

  WorkerLaunchCalls launch_calls;
};

// Starts a run over run.inputs (not empty) unless one is in progress. If the
// first launch fails, its text is shown in an error box and the window is
// destroyed, which ends the program.
void StartRun(RunState& run, const RunWindow& window, uint64_t logical_processors);

// Tells every worker to stop and launches no more; the run ends through the
// ticks once all workers have ended.
void StopRun(RunState& run);

// One tick of the main window's 500 ms timer.
void SuperviseJobs(RunState& run, const RunWindow& window);

// Starts workers while inputs remain and the limit allows; a failed start
// is thrown to the caller.
void LaunchPendingJobs(RunState& run);

}  // namespace cindral
