// Whom a running job reports to and asks: the worker's shared state, with the
// window behind it; nobody, in a headless run; or a test's recorder. The
// pipelines hold one host for the whole job and never ask which kind it is.
// The engine may call in from its own threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/entry/worker_shared_state.h"

namespace cindral {

class JobHost {
 public:
  virtual ~JobHost() = default;

  virtual bool IsCancelRequested() = 0;

  // Progress in the engine's unit, and what is being worked on.
  virtual void ReportTotal(uint64_t total) = 0;
  virtual void ReportCompleted(uint64_t completed) = 0;
  virtual void ReportCurrentItem(std::wstring_view item) = 0;
  virtual void ReportResultPath(std::wstring_view path) = 0;

  // A failing callback's reason, which replaces any earlier text, and a
  // notice that does not fail the job, which only fills an empty field.
  virtual void ReportCallbackFailure(std::wstring_view text) = 0;
  virtual void ReportNotice(std::wstring_view text) = 0;

  // Whether a user is there to answer prompts; without one, a conflict or a
  // missing password ends the job, so it can be refused before any work.
  virtual bool CanAskUser() = 0;
  // The user's answer to an existing target, or nullopt when nobody can be
  // asked. Throws std::runtime_error("Cancelled.") on cancel.
  virtual std::optional<PromptAnswer> AskConflict(std::wstring_view target) = 0;
  // The job's password, asked once; nullopt when none was given or nobody
  // can be asked. Throws std::runtime_error("Cancelled.") on cancel.
  virtual std::optional<std::wstring> RequestPassword() = 0;

  // The job's end: Done, or Failed/Cancelled with the failure's UTF-8 text.
  virtual void Finish(JobState outcome, std::string_view failure_text) = 0;
};

// A run without a window: nothing to report to and nobody to ask. A failure
// goes to the debugger output and to "last-error.txt" beside the executable,
// where a script can find it.
class HeadlessJobHost final : public JobHost {
 public:
  bool IsCancelRequested() override { return false; }
  void ReportTotal(uint64_t) override {}
  void ReportCompleted(uint64_t) override {}
  void ReportCurrentItem(std::wstring_view) override {}
  void ReportResultPath(std::wstring_view) override {}
  void ReportCallbackFailure(std::wstring_view) override {}
  void ReportNotice(std::wstring_view) override {}
  bool CanAskUser() override { return false; }
  std::optional<PromptAnswer> AskConflict(std::wstring_view) override { return std::nullopt; }
  std::optional<std::wstring> RequestPassword() override { return std::nullopt; }
  void Finish(JobState outcome, std::string_view failure_text) override;
};

// A worker's job, through the block its window polls.
class SharedStateJobHost final : public JobHost {
 public:
  explicit SharedStateJobHost(WorkerSharedState& state) : state_(state) {}

  bool IsCancelRequested() override { return IsWorkerStopRequested(state_); }
  void ReportTotal(uint64_t total) override { cindral::ReportTotal(state_, total); }
  void ReportCompleted(uint64_t completed) override { cindral::ReportCompleted(state_, completed); }
  void ReportCurrentItem(std::wstring_view item) override {
    cindral::ReportCurrentItem(state_, item);
  }
  void ReportResultPath(std::wstring_view path) override {
    cindral::ReportResultPath(state_, path);
  }
  void ReportCallbackFailure(std::wstring_view text) override {
    cindral::ReportCallbackFailure(state_, text);
  }
  void ReportNotice(std::wstring_view text) override { cindral::ReportNotice(state_, text); }
  bool CanAskUser() override { return true; }
  std::optional<PromptAnswer> AskConflict(std::wstring_view target) override {
    return AskWorkerPrompt(state_, PromptKind::Conflict, target);
  }
  std::optional<std::wstring> RequestPassword() override {
    return cindral::RequestPassword(state_);
  }
  void Finish(JobState outcome, std::string_view failure_text) override;

 private:
  WorkerSharedState& state_;
};

}  // namespace cindral
