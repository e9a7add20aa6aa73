// The memory block an interface and its worker share: the only channel
// between the two processes. Both sides poll it; there is no lock. Every word
// has one writer at a time and is written with a full-barrier exchange, and a
// text is always written before the word that announces it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/win_owners.h"

namespace cindral {

constexpr size_t kWorkerSharedStateSize = 70688;

// Field capacities in UTF-16 code units, terminator included.
constexpr size_t kSharedTextUnits = 1024;
constexpr size_t kSharedPasswordUnits = 512;
constexpr size_t kSharedResultPathUnits = 32768;

// The mapping names of jobs begin with this.
inline constexpr wchar_t kWorkerMappingPrefix[] = L"Local\\Cindral-";

enum class JobState : uint32_t { Running = 0, Done = 1, Failed = 2, Cancelled = 3 };
enum class PromptKind : uint32_t { None = 0, Password = 1, Conflict = 2 };
enum class PromptAnswer : uint32_t {
  Pending = 0,
  PasswordGiven = 1,
  Skip = 2,
  KeepBoth = 3,
  Replace = 4,
  Cancel = 5,
};

// The block's layout is an interface between two processes, so it is fixed
// byte for byte; the asserts below keep the compiler from moving anything.
struct WorkerSharedState {
  volatile LONG cancel_flag;    // interface writes; 0 go on, 1 stop
  volatile LONG job_state;      // JobState; worker, or interface once it died
  volatile LONG prompt_kind;    // PromptKind; worker
  volatile LONG prompt_answer;  // PromptAnswer; worker resets, interface answers
  volatile LONG64 total;        // work announced by the engine
  volatile LONG64 completed;    // work done, same unit
  wchar_t current_item[kSharedTextUnits];
  wchar_t message[kSharedTextUnits];
  wchar_t password[kSharedPasswordUnits];
  wchar_t result_path[kSharedResultPathUnits];
};

static_assert(std::is_standard_layout_v<WorkerSharedState>);
static_assert(sizeof(wchar_t) == 2);
static_assert(offsetof(WorkerSharedState, cancel_flag) == 0);
static_assert(offsetof(WorkerSharedState, job_state) == 4);
static_assert(offsetof(WorkerSharedState, prompt_kind) == 8);
static_assert(offsetof(WorkerSharedState, prompt_answer) == 12);
static_assert(offsetof(WorkerSharedState, total) == 16);
static_assert(offsetof(WorkerSharedState, completed) == 24);
static_assert(offsetof(WorkerSharedState, current_item) == 32);
static_assert(offsetof(WorkerSharedState, message) == 2080);
static_assert(offsetof(WorkerSharedState, password) == 4128);
static_assert(offsetof(WorkerSharedState, result_path) == 5152);
static_assert(sizeof(WorkerSharedState) == kWorkerSharedStateSize);

// One side's hold on a block: the mapping handle and the whole view. Moving
// it keeps the view where it is, so State() pointers stay valid.
struct WorkerSharedStateMapping {
  UniqueHandle mapping;
  MappedView view;

  WorkerSharedState* State() const { return view.As<WorkerSharedState>(); }
};

// "Local\Cindral-" and a fresh GUID in registry form.
std::wstring NewWorkerMappingName();

// Interface: creates the named block and fills it with zero.
// Fails with "Cannot create worker mapping." or "Cannot map worker state.".
WorkerSharedStateMapping CreateWorkerSharedState(const std::wstring& name);

// Worker: maps an existing block by name. Fails with "Worker connection lost.".
WorkerSharedStateMapping OpenWorkerSharedState(const std::wstring& name);

// --- Interface side ---------------------------------------------------------

void RequestWorkerStop(WorkerSharedState& state);

// Full-barrier reads (a compare-exchange of 0 with 0).
JobState ReadJobState(WorkerSharedState& state);
int64_t ReadTotal(WorkerSharedState& state);
int64_t ReadCompleted(WorkerSharedState& state);

// completed * 100 / total clamped to 0..99, 0 while no total is known;
// 100 once the worker's process has ended with the job Done.
unsigned ProgressPercent(WorkerSharedState& state, bool process_ended);

// A prompt waits for the interface: a kind is raised and no answer given.
// The caller also checks that the worker's process still runs.
bool IsPromptDue(const WorkerSharedState& state);

// Answers the open prompt: the password first (only when one is passed,
// cut to 511 units), the cancel flag for Cancel, the answer word last.
void AnswerWorkerPrompt(WorkerSharedState& state, PromptAnswer answer,
                        std::optional<std::wstring_view> password = std::nullopt);

// For a worker whose process ended without an outcome: message := text
// (always), job state := Failed.
void MarkWorkerDead(WorkerSharedState& state, std::wstring_view text);

// --- Worker side ------------------------------------------------------------

bool IsWorkerStopRequested(const WorkerSharedState& state);

// Ignores 0, so a late empty announcement cannot hide a known total.
void ReportTotal(WorkerSharedState& state, uint64_t total);
void ReportCompleted(WorkerSharedState& state, uint64_t completed);
void ReportCurrentItem(WorkerSharedState& state, std::wstring_view item);
void ReportResultPath(WorkerSharedState& state, std::wstring_view path);

// The message field has three writers with three rules. Narrow texts are
// UTF-8, as every failure text of the program is.
// A failing callback: always overwrites, so the latest precise reason wins.
void ReportCallbackFailure(WorkerSharedState& state, std::wstring_view text);
void ReportCallbackFailure(WorkerSharedState& state, std::string_view text);
// A notice that does not fail the job: only into an empty field.
void ReportNotice(WorkerSharedState& state, std::wstring_view text);
// The job's final failure: only over an empty field or the incomplete-archive
// notice (a text beginning with "ZIP onvolledig"); a callback's reason stays.
void ReportFinalFailure(WorkerSharedState& state, std::wstring_view text);
void ReportFinalFailure(WorkerSharedState& state, std::string_view text);

void WipePassword(WorkerSharedState& state);

// Cancelled when the cancel flag is set, otherwise Failed: how a failure of
// the job is classified.
JobState FailureOutcome(const WorkerSharedState& state);

// The end of a job, in the order the interface relies on: the failure text
// (Failed/Cancelled only, by ReportFinalFailure's rule), the password wipe
// (failure only), completed := total (Done only), the job state; then the
// password is wiped once more on every path.
void FinishJob(WorkerSharedState& state, JobState outcome, std::string_view failure_text = {});

// Raises a prompt with its subject in the current-item text and waits,
// polling every 30 ms, for the interface's answer or the cancel flag; the
// prompt kind is back at None whichever way the wait ends.
// Throws std::runtime_error("Cancelled.") when the cancel flag is set, and
// for a Conflict prompt also for any answer but Skip, KeepBoth or Replace.
// Prompts of one process are serialised, since the engine may ask from
// several threads and the block holds one prompt at a time.
PromptAnswer AskWorkerPrompt(WorkerSharedState& state, PromptKind kind, std::wstring_view subject);

// The job's password: the stored one when the field holds one, otherwise the
// user is asked once (subject "Password"). nullopt when the user answered
// anything but PasswordGiven. An empty password given by the user comes back
// as an empty string. Throws std::runtime_error("Cancelled.") on cancel.
std::optional<std::wstring> RequestPassword(WorkerSharedState& state);

// The field's text up to its terminator (or its end, should the other side
// have left none).
std::wstring ReadSharedText(const wchar_t* field, size_t units);
template <size_t N>
std::wstring ReadSharedText(const wchar_t (&field)[N]) {
  return ReadSharedText(field, N);
}

}  // namespace cindral
