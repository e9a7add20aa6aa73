// A job host for tests: writes down what a job reports, in order, answers
// prompts from a script, and cancels when told to.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/jobs/job_host.h"
#include "common/utf8.h"

namespace cindral::testing {

class RecordingJobHost final : public JobHost {
 public:
  // Script.
  bool cancel = false;
  std::optional<std::wstring> password;       // RequestPassword's answer
  std::deque<PromptAnswer> conflict_answers;  // one per AskConflict; none left: nobody to ask

  // What happened, one line each: "total 5", "item a.txt", "failure why", ...
  std::vector<std::wstring> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  bool IsCancelRequested() override { return cancel; }
  void ReportTotal(uint64_t total) override { Note(L"total " + std::to_wstring(total)); }
  void ReportCompleted(uint64_t completed) override {
    Note(L"completed " + std::to_wstring(completed));
  }
  void ReportCurrentItem(std::wstring_view item) override { Note(L"item ", item); }
  void ReportResultPath(std::wstring_view path) override { Note(L"result ", path); }
  void ReportCallbackFailure(std::wstring_view text) override { Note(L"failure ", text); }
  void ReportNotice(std::wstring_view text) override { Note(L"notice ", text); }
  bool CanAskUser() override {
    std::lock_guard lock(mutex_);
    return !conflict_answers.empty();
  }
  std::optional<PromptAnswer> AskConflict(std::wstring_view target) override {
    Note(L"conflict ", target);
    std::lock_guard lock(mutex_);
    if (conflict_answers.empty()) return std::nullopt;
    const PromptAnswer answer = conflict_answers.front();
    conflict_answers.pop_front();
    return answer;
  }
  std::optional<std::wstring> RequestPassword() override {
    Note(L"password");
    return password;
  }
  void Finish(JobState outcome, std::string_view failure_text) override {
    Note(L"finish " + std::to_wstring(static_cast<int>(outcome)) + L" ",
         WideFromUtf8(failure_text));
  }

 private:
  void Note(std::wstring_view what, std::wstring_view detail = {}) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::wstring(what) + std::wstring(detail));
  }

  std::mutex mutex_;
  std::vector<std::wstring> events_;
};

}  // namespace cindral::testing
