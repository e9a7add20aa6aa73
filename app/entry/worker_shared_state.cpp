#include "app/entry/worker_shared_state.h"

#include "common/guid_text.h"
#include "common/utf8.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace cindral {
namespace {

constexpr std::wstring_view kIncompleteArchiveNotice = L"ZIP onvolledig";
constexpr DWORD kPromptPollMilliseconds = 30;

// Cut to the field, zero-terminated; the rest of the field is cleared too so
// no tail of an older, longer text lingers behind the terminator.
void CopyText(wchar_t* field, size_t units, std::wstring_view text) {
  const size_t length = std::min(text.size(), units - 1);
  std::copy_n(text.data(), length, field);
  std::fill(field + length, field + units, L'\0');
}

template <size_t N>
void CopyText(wchar_t (&field)[N], std::wstring_view text) {
  CopyText(field, N, text);
}

bool MessageMayBeReplacedByFinalFailure(const WorkerSharedState& state) {
  if (state.message[0] == L'\0') return true;
  const std::wstring_view message(state.message, kIncompleteArchiveNotice.size());
  return message == kIncompleteArchiveNotice;
}

// The engine may ask from several threads; the block has room for one prompt.
std::mutex& PromptMutex() {
  static std::mutex mutex;
  return mutex;
}

PromptAnswer AskWhileHoldingPromptLock(WorkerSharedState& state, PromptKind kind,
                                       std::wstring_view subject) {
  CopyText(state.current_item, subject);
  InterlockedExchange(&state.prompt_answer, static_cast<LONG>(PromptAnswer::Pending));
  InterlockedExchange(&state.prompt_kind, static_cast<LONG>(kind));
  while (state.prompt_answer == 0 && state.cancel_flag == 0) Sleep(kPromptPollMilliseconds);
  const auto answer = static_cast<PromptAnswer>(state.prompt_answer);
  InterlockedExchange(&state.prompt_kind, static_cast<LONG>(PromptKind::None));
  if (state.cancel_flag != 0) throw std::runtime_error("Cancelled.");
  return answer;
}

}  // namespace

std::wstring NewWorkerMappingName() { return std::wstring(kWorkerMappingPrefix) + NewGuidText(); }

WorkerSharedStateMapping CreateWorkerSharedState(const std::wstring& name) {
  WorkerSharedStateMapping block;
  block.mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         static_cast<DWORD>(kWorkerSharedStateSize), name.c_str()));
  // A block that exists already belongs to someone else; sharing it with a
  // worker would hand that party the job's prompts and password.
  if (!block.mapping || GetLastError() == ERROR_ALREADY_EXISTS)
    throw std::runtime_error("Cannot create worker mapping.");
  block.view.Reset(
      MapViewOfFile(block.mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kWorkerSharedStateSize));
  if (!block.view) throw std::runtime_error("Cannot map worker state.");
  std::memset(block.view.Get(), 0, kWorkerSharedStateSize);
  return block;
}

WorkerSharedStateMapping OpenWorkerSharedState(const std::wstring& name) {
  WorkerSharedStateMapping block;
  block.mapping.Reset(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
  if (!block.mapping) throw std::runtime_error("Worker connection lost.");
  block.view.Reset(
      MapViewOfFile(block.mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kWorkerSharedStateSize));
  if (!block.view) throw std::runtime_error("Worker connection lost.");
  return block;
}

void RequestWorkerStop(WorkerSharedState& state) { InterlockedExchange(&state.cancel_flag, 1); }

JobState ReadJobState(WorkerSharedState& state) {
  return static_cast<JobState>(InterlockedCompareExchange(&state.job_state, 0, 0));
}

int64_t ReadTotal(WorkerSharedState& state) {
  return InterlockedCompareExchange64(&state.total, 0, 0);
}

int64_t ReadCompleted(WorkerSharedState& state) {
  return InterlockedCompareExchange64(&state.completed, 0, 0);
}

unsigned ProgressPercent(WorkerSharedState& state, bool process_ended) {
  if (process_ended && ReadJobState(state) == JobState::Done) return 100;
  const int64_t total = ReadTotal(state);
  const int64_t completed = ReadCompleted(state);
  if (total <= 0 || completed <= 0) return 0;
  // Wide arithmetic: completed * 100 overflows 64 bits for totals past 92 PB.
  const auto percent =
      static_cast<unsigned __int128>(completed) * 100 / static_cast<unsigned __int128>(total);
  return static_cast<unsigned>(std::min<unsigned __int128>(percent, 99));
}

bool IsPromptDue(const WorkerSharedState& state) {
  return state.prompt_kind != 0 && state.prompt_answer == 0;
}

void AnswerWorkerPrompt(WorkerSharedState& state, PromptAnswer answer,
                        std::optional<std::wstring_view> password) {
  if (password) CopyText(state.password, *password);
  if (answer == PromptAnswer::Cancel) RequestWorkerStop(state);
  InterlockedExchange(&state.prompt_answer, static_cast<LONG>(answer));
}

void MarkWorkerDead(WorkerSharedState& state, std::wstring_view text) {
  CopyText(state.message, text);
  InterlockedExchange(&state.job_state, static_cast<LONG>(JobState::Failed));
}

bool IsWorkerStopRequested(const WorkerSharedState& state) { return state.cancel_flag != 0; }

void ReportTotal(WorkerSharedState& state, uint64_t total) {
  if (total == 0) return;
  InterlockedExchange64(&state.total, static_cast<LONG64>(total));
}

void ReportCompleted(WorkerSharedState& state, uint64_t completed) {
  InterlockedExchange64(&state.completed, static_cast<LONG64>(completed));
}

void ReportCurrentItem(WorkerSharedState& state, std::wstring_view item) {
  CopyText(state.current_item, item);
}

void ReportResultPath(WorkerSharedState& state, std::wstring_view path) {
  CopyText(state.result_path, path);
}

void ReportCallbackFailure(WorkerSharedState& state, std::wstring_view text) {
  CopyText(state.message, text);
}

void ReportCallbackFailure(WorkerSharedState& state, std::string_view text) {
  ReportCallbackFailure(state, std::wstring_view(WideFromUtf8(text)));
}

void ReportNotice(WorkerSharedState& state, std::wstring_view text) {
  if (state.message[0] == L'\0') CopyText(state.message, text);
}

void ReportFinalFailure(WorkerSharedState& state, std::wstring_view text) {
  if (MessageMayBeReplacedByFinalFailure(state)) CopyText(state.message, text);
}

void ReportFinalFailure(WorkerSharedState& state, std::string_view text) {
  ReportFinalFailure(state, std::wstring_view(WideFromUtf8(text)));
}

void WipePassword(WorkerSharedState& state) {
  SecureZeroMemory(state.password, sizeof(state.password));
}

JobState FailureOutcome(const WorkerSharedState& state) {
  return IsWorkerStopRequested(state) ? JobState::Cancelled : JobState::Failed;
}

void FinishJob(WorkerSharedState& state, JobState outcome, std::string_view failure_text) {
  if (outcome == JobState::Running) throw std::invalid_argument("A job cannot finish as running.");
  if (outcome == JobState::Done) {
    InterlockedExchange64(&state.completed, ReadTotal(state));
  } else {
    ReportFinalFailure(state, failure_text);
    WipePassword(state);
  }
  InterlockedExchange(&state.job_state, static_cast<LONG>(outcome));
  WipePassword(state);
}

PromptAnswer AskWorkerPrompt(WorkerSharedState& state, PromptKind kind, std::wstring_view subject) {
  const std::lock_guard lock(PromptMutex());
  const PromptAnswer answer = AskWhileHoldingPromptLock(state, kind, subject);
  if (kind == PromptKind::Conflict && answer != PromptAnswer::Skip &&
      answer != PromptAnswer::KeepBoth && answer != PromptAnswer::Replace)
    throw std::runtime_error("Cancelled.");
  return answer;
}

std::optional<std::wstring> RequestPassword(WorkerSharedState& state) {
  // Checked under the lock: a thread that waited behind another's prompt
  // finds the password that prompt produced and asks no second time.
  const std::lock_guard lock(PromptMutex());
  if (state.password[0] == L'\0' &&
      AskWhileHoldingPromptLock(state, PromptKind::Password, L"Password") !=
          PromptAnswer::PasswordGiven)
    return std::nullopt;
  return ReadSharedText(state.password);
}

std::wstring ReadSharedText(const wchar_t* field, size_t units) {
  return std::wstring(field, std::find(field, field + units, L'\0'));
}

}  // namespace cindral
