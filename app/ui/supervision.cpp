#include "app/ui/supervision.h"

#include <algorithm>
#include <exception>

#include "app/ui/prompts.h"
#include "app/ui/texts.h"

namespace cindral {

// --- Decisions --------------------------------------------------------------

RunParameters ChooseRunParameters(bool pack, size_t input_count, uint64_t logical_processors) {
  RunParameters parameters;
  if (!pack) {
    const uint64_t half = std::max<uint64_t>(logical_processors / 2, 1);
    parameters.max_workers = std::min<uint64_t>({4, input_count, half});
    parameters.max_workers = std::max<uint64_t>(parameters.max_workers, 1);
  }
  const uint64_t threads = logical_processors / parameters.max_workers;
  parameters.threads_per_worker =
      static_cast<uint32_t>(std::clamp<uint64_t>(threads, 1, UINT32_MAX));
  return parameters;
}

unsigned JobProgressShare(bool finished, JobState state, int64_t total, int64_t completed) {
  if (finished && state == JobState::Done) return 100;
  if (total <= 0 || completed <= 0) return 0;
  // In 128 bits: a counter near the top of its range times 100 must not wrap.
  const __int128 percent = static_cast<__int128>(completed) * 100 / total;
  return static_cast<unsigned>(std::min<__int128>(percent, 99));
}

TickFindings ReadTick(const std::vector<JobReading>& jobs, bool pack, size_t input_count) {
  TickFindings findings;
  uint64_t sum = 0;
  for (size_t index = 0; index < jobs.size(); ++index) {
    const JobReading& job = jobs[index];
    bool finished = job.finished;
    JobState state = job.state;
    if (!finished && job.process_ended) {
      finished = true;
      findings.newly_finished.push_back(index);
      // The process is gone and never told how the job went.
      if (state == JobState::Running) {
        findings.died.push_back(index);
        state = JobState::Failed;
      }
    }
    if (finished) {
      findings.failed_seen |= state == JobState::Failed;
      findings.cancelled_seen |= state == JobState::Cancelled;
    }
    sum += JobProgressShare(finished, state, job.total, job.completed);
    if (finished) continue;
    // With several workers the last one that reports something is shown.
    if (!job.current_item.empty()) findings.status_text = job.current_item;
    if (job.prompt_due) findings.prompts_due.push_back(index);
  }
  const size_t divisor = pack ? 1 : std::max<size_t>(input_count, 1);
  findings.progress = static_cast<double>(sum) / static_cast<double>(divisor);
  return findings;
}

RunEnd DecideRunEnd(bool any_unfinished, uint64_t next_index, size_t input_count,
                    bool failed_seen) {
  if (any_unfinished || next_index < input_count) return RunEnd::kContinue;
  return failed_seen ? RunEnd::kTryAgain : RunEnd::kClose;
}

std::optional<std::wstring> NoticeAtClose(const std::vector<JobOutcome>& jobs) {
  for (const JobOutcome& job : jobs)
    if (job.state == JobState::Done && !job.message.empty()) return job.message;
  return std::nullopt;
}

std::wstring FailureText(const std::vector<JobOutcome>& jobs,
                         const std::optional<std::wstring>& launch_failure) {
  const auto failed = std::find_if(jobs.begin(), jobs.end(), [](const JobOutcome& job) {
    return job.state == JobState::Failed;
  });
  std::wstring text = failed == jobs.end() ? std::wstring() : failed->message;
  if (text.empty() && launch_failure) text = *launch_failure;
  return text;
}

// --- The run ----------------------------------------------------------------
namespace {

// The program's own failure texts are ASCII.
std::wstring WidenFailure(const std::exception& failure) {
  const std::string_view text = failure.what();
  std::wstring wide;
  for (const char byte : text)
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
  return wide;
}

void Repaint(const RunWindow& window) { InvalidateRect(window.window, nullptr, FALSE); }

// The process is read before the job state: a worker writes its outcome
// before it exits, so an ended process with a Running state truly died.
JobReading ReadJob(const WorkerJob& job) {
  JobReading reading;
  reading.finished = job.finished;
  reading.process_ended =
      !job.finished && WaitForSingleObject(job.process.Get(), 0) == WAIT_OBJECT_0;
  WorkerSharedState& state = job.State();
  reading.state = ReadJobState(state);
  reading.total = ReadTotal(state);
  reading.completed = ReadCompleted(state);
  reading.current_item = ReadSharedText(state.current_item);
  reading.prompt_due = IsPromptDue(state);
  return reading;
}

std::vector<JobOutcome> ReadOutcomes(const WorkerJobList& jobs) {
  std::vector<JobOutcome> outcomes;
  for (const auto& job : jobs)
    outcomes.push_back({ReadJobState(job->State()), ReadSharedText(job->State().message)});
  return outcomes;
}

// Supervision pauses while the prompt is open; the asking worker waits for
// the answer and the others keep working.
void HandlePrompt(RunState& run, const RunWindow& window, WorkerJob& job) {
  WorkerSharedState& state = job.State();
  // An earlier prompt of this tick may have taken long; ask only what is still asked.
  if (!IsPromptDue(state) || WaitForSingleObject(job.process.Get(), 0) == WAIT_OBJECT_0) return;
  run.prompt_open = true;
  if (static_cast<PromptKind>(state.prompt_kind) == PromptKind::Password) {
    std::wstring password;
    const PromptAnswer answer = AskPassword(window.window, password);
    if (answer == PromptAnswer::PasswordGiven)
      AnswerWorkerPrompt(state, answer, password);
    else
      AnswerWorkerPrompt(state, answer);
    SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
  } else {
    AnswerWorkerPrompt(state, AskConflict(window.window, ReadSharedText(state.current_item)));
  }
  run.prompt_open = false;
}

void EndRun(RunState& run, const RunWindow& window, RunEnd end) {
  run.busy = false;
  const std::vector<JobOutcome> outcomes = ReadOutcomes(run.jobs);
  if (end == RunEnd::kClose) {
    if (const auto notice = NoticeAtClose(outcomes))
      MessageBoxW(window.window, notice->c_str(), Text(kTextTitle), MB_ICONWARNING);
    DestroyWindow(window.window);
    return;
  }
  const std::wstring text = FailureText(outcomes, run.launch_failure);
  if (window.show_try_again) window.show_try_again();
  run.status_text = Text(kTextRetryStatus);
  run.progress = 0;
  run.jobs.clear();
  run.launch_failure.reset();
  Repaint(window);
  MessageBoxW(window.window, text.c_str(), Text(kTextCouldNotFinish), MB_ICONERROR);
}

}  // namespace

void LaunchPendingJobs(RunState& run) {
  const WorkerLaunchSettings settings{run.pack, run.parameters.threads_per_worker,
                                      run.parameters.max_workers};
  while (run.next_index < run.inputs.size()) {
    const auto running = std::count_if(run.jobs.begin(), run.jobs.end(),
                                       [](const auto& job) { return !job->finished; });
    if (static_cast<uint64_t>(running) >= run.parameters.max_workers) return;
    if (run.pack) {
      StartWorker(run.jobs, run.inputs, settings, run.launch_calls);
      run.next_index = run.inputs.size();
      return;
    }
    const std::wstring& input = run.inputs[run.next_index++];
    StartWorker(run.jobs, {input}, settings, run.launch_calls);
  }
}

void StartRun(RunState& run, const RunWindow& window, uint64_t logical_processors) {
  if (run.busy) return;
  run.jobs.clear();
  run.launch_failure.reset();
  run.status_text.clear();
  run.busy = true;
  run.progress = 0;
  run.parameters = ChooseRunParameters(run.pack, run.inputs.size(), logical_processors);
  run.next_index = 0;
  if (window.show_working) window.show_working();
  try {
    LaunchPendingJobs(run);
  } catch (const std::exception& failure) {
    MessageBoxW(window.window, WidenFailure(failure).c_str(), Text(kTextTitle), MB_ICONERROR);
    // The program ends with the window; workers already started end with it.
    run.jobs.clear();
    run.busy = false;
    DestroyWindow(window.window);
    return;
  }
  Repaint(window);
}

void StopRun(RunState& run) {
  for (const auto& job : run.jobs) RequestWorkerStop(job->State());
  run.next_index = run.inputs.size();
}

void SuperviseJobs(RunState& run, const RunWindow& window) {
  if (!run.busy || run.prompt_open) return;

  std::vector<JobReading> readings;
  for (const auto& job : run.jobs) readings.push_back(ReadJob(*job));
  const TickFindings findings = ReadTick(readings, run.pack, run.inputs.size());

  for (const size_t index : findings.newly_finished) run.jobs[index]->finished = true;
  for (const size_t index : findings.died)
    MarkWorkerDead(run.jobs[index]->State(), Text(kTextWorkerDied));
  if (findings.status_text) run.status_text = *findings.status_text;
  run.progress = findings.progress;
  for (const size_t index : findings.prompts_due) HandlePrompt(run, window, *run.jobs[index]);

  if (findings.failed_seen || findings.cancelled_seen) {
    StopRun(run);
  } else {
    try {
      LaunchPendingJobs(run);
    } catch (const std::exception& failure) {
      StopRun(run);
      run.launch_failure = WidenFailure(failure);
    }
  }

  const bool any_unfinished =
      std::any_of(run.jobs.begin(), run.jobs.end(), [](const auto& job) { return !job->finished; });
  const bool failed_seen = findings.failed_seen || run.launch_failure.has_value();
  const RunEnd end = DecideRunEnd(any_unfinished, run.next_index, run.inputs.size(), failed_seen);
  if (end == RunEnd::kContinue) {
    Repaint(window);
    return;
  }
  EndRun(run, window, end);
}

}  // namespace cindral
