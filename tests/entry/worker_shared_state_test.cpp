#include "app/entry/worker_shared_state.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/win_owners.h"
#include "tests/e2e/process_runner.h"
#include "tests/wine_support.h"

namespace cindral {
namespace {

constexpr char kWorkerSwitch[] = "--shared-state-worker";
constexpr DWORD kScenarioTimeoutMs = 30000;

bool IsAllZero(const void* bytes, size_t size) {
  const auto* begin = static_cast<const unsigned char*>(bytes);
  return std::all_of(begin, begin + size, [](unsigned char byte) { return byte == 0; });
}

std::wstring Text(const wchar_t* field, size_t units) { return ReadSharedText(field, units); }

// Polls a condition for a few seconds, so a lost prompt fails the test
// instead of hanging it.
bool WaitUntil(const std::function<bool()>& condition) {
  const ULONGLONG deadline = GetTickCount64() + 5000;
  while (!condition()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(1);
  }
  return true;
}

// ---------------------------------------------------------------------------
// The worker's half of the process tests: this same program, started with
// kWorkerSwitch, a scenario and the mapping name, maps the block by name and
// plays a worker the way the job runner does.

std::wstring Describe(const std::optional<std::wstring>& password) {
  return password ? *password : L"<none>";
}

int RunScenario(WorkerSharedState& state, const std::string& scenario) {
  if (scenario == "password") {
    ReportTotal(state, 1000);
    ReportCompleted(state, 250);
    const std::wstring first = Describe(RequestPassword(state));
    const std::wstring second = Describe(RequestPassword(state));
    const std::wstring third = Describe(RequestPassword(state));
    ReportResultPath(state, first + L"|" + second + L"|" + third);
    return 0;
  }
  if (scenario == "conflict") {
    std::wstring answers;
    for (int index = 0;; ++index) {
      const std::wstring subject = L"C:\\out\\file" + std::to_wstring(index) + L".txt";
      const PromptAnswer answer = AskWorkerPrompt(state, PromptKind::Conflict, subject);
      answers += std::to_wstring(static_cast<unsigned>(answer)) + L",";
      ReportResultPath(state, answers);
    }
  }
  if (scenario == "cancel-password") {
    RequestPassword(state);
    return 0;
  }
  throw std::runtime_error("Unknown scenario.");
}

int RunWorkerSide(const std::string& scenario, const std::string& mapping_name) {
  WorkerSharedStateMapping block;
  try {
    block = OpenWorkerSharedState(std::wstring(mapping_name.begin(), mapping_name.end()));
  } catch (const std::exception&) {
    return 3;
  }
  WorkerSharedState& state = *block.State();
  try {
    const int result = RunScenario(state, scenario);
    FinishJob(state, JobState::Done);
    return result;
  } catch (const std::exception& failure) {
    const JobState outcome = FailureOutcome(state);
    FinishJob(state, outcome, failure.what());
    return outcome == JobState::Cancelled ? 2 : 1;
  }
}

// ---------------------------------------------------------------------------
// The interface's half.

struct SeenPrompt {
  PromptKind kind;
  std::wstring subject;
};

// Answers the prompt with the given index (0, 1, ...); returns false to leave
// it unanswered.
using Answerer = std::function<bool(WorkerSharedState&, size_t index, const SeenPrompt&)>;

struct WorkerRun {
  DWORD exit_code = ~DWORD{0};
  std::vector<SeenPrompt> prompts;
};

UniqueHandle StartWorkerCopy(const std::string& scenario, const std::wstring& mapping_name) {
  return testing::StartProgram(
             testing::ThisProgram(),
             {std::wstring(std::begin(kWorkerSwitch), std::end(kWorkerSwitch) - 1),
              std::wstring(scenario.begin(), scenario.end()), mapping_name})
      .process;
}

// Polls like the supervision does (more often, to keep the test quick) until
// the worker's process ends.
WorkerRun SuperviseWorker(WorkerSharedState& state, const std::wstring& mapping_name,
                          const std::string& scenario, const Answerer& answer) {
  WorkerRun run;
  const UniqueHandle process = StartWorkerCopy(scenario, mapping_name);
  if (!process) return run;
  const ULONGLONG deadline = GetTickCount64() + kScenarioTimeoutMs;
  bool left_open = false;
  while (WaitForSingleObject(process.Get(), 5) == WAIT_TIMEOUT) {
    if (GetTickCount64() > deadline) {
      TerminateProcess(process.Get(), 99);
      ADD_FAILURE() << "worker did not end in time";
      return run;
    }
    if (left_open || !IsPromptDue(state)) continue;
    run.prompts.push_back(
        {static_cast<PromptKind>(state.prompt_kind), ReadSharedText(state.current_item)});
    left_open = !answer(state, run.prompts.size() - 1, run.prompts.back());
  }
  GetExitCodeProcess(process.Get(), &run.exit_code);
  return run;
}

class WorkerSharedStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = NewWorkerMappingName();
    block_ = CreateWorkerSharedState(name_);
  }
  WorkerSharedState& State() { return *block_.State(); }

  std::wstring name_;
  WorkerSharedStateMapping block_;
};

TEST(WorkerSharedStateName, IsLocalCindralWithRegistryGuid) {
  const std::wstring name = NewWorkerMappingName();
  ASSERT_EQ(name.size(), 14u + 38u);
  EXPECT_EQ(name.substr(0, 14), L"Local\\Cindral-");
  EXPECT_EQ(name[14], L'{');
  EXPECT_EQ(name.back(), L'}');
  EXPECT_NE(name, NewWorkerMappingName());
}

TEST_F(WorkerSharedStateTest, FreshBlockIsZeroAndSharedByName) {
  ASSERT_TRUE(IsAllZero(block_.view.Get(), kWorkerSharedStateSize));
  EXPECT_EQ(ReadJobState(State()), JobState::Running);
  EXPECT_EQ(ReadTotal(State()), 0);
  EXPECT_EQ(ReadCompleted(State()), 0);
  EXPECT_FALSE(IsPromptDue(State()));
  EXPECT_FALSE(IsWorkerStopRequested(State()));
  EXPECT_EQ(Text(State().message, kSharedTextUnits), L"");

  const WorkerSharedStateMapping worker = OpenWorkerSharedState(name_);
  ASSERT_NE(worker.State(), block_.State());
  ReportCurrentItem(*worker.State(), L"a\\b.txt");
  RequestWorkerStop(State());
  EXPECT_EQ(ReadSharedText(State().current_item), L"a\\b.txt");
  EXPECT_TRUE(IsWorkerStopRequested(*worker.State()));
}

TEST_F(WorkerSharedStateTest, OpeningFailsWithConnectionLost) {
  try {
    OpenWorkerSharedState(L"Local\\Cindral-{00000000-0000-0000-0000-000000000000}");
    ADD_FAILURE() << "a missing mapping was opened";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "Worker connection lost.");
  }
  // A block too small for the layout must not be mapped as if it were one.
  const std::wstring small_name = NewWorkerMappingName();
  const UniqueHandle small(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              4096, small_name.c_str()));
  ASSERT_TRUE(small);
  EXPECT_THROW(OpenWorkerSharedState(small_name), std::runtime_error);
}

TEST_F(WorkerSharedStateTest, CreatingRefusesAnExistingName) {
  try {
    CreateWorkerSharedState(name_);
    ADD_FAILURE() << "an existing block was taken over";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "Cannot create worker mapping.");
  }
}

TEST_F(WorkerSharedStateTest, TextsAreCutToTheirFields) {
  const std::wstring long_text(40000, L'x');
  ReportCallbackFailure(State(), std::wstring_view(long_text).substr(0, 2000));
  EXPECT_EQ(Text(State().message, kSharedTextUnits), long_text.substr(0, 1023));
  EXPECT_EQ(State().message[1023], L'\0');

  ReportCurrentItem(State(), std::wstring(1023, L'c'));
  EXPECT_EQ(ReadSharedText(State().current_item), std::wstring(1023, L'c'));
  ReportCurrentItem(State(), L"short");
  // Nothing of the longer text stays behind the terminator.
  EXPECT_TRUE(IsAllZero(State().current_item + 5, (kSharedTextUnits - 5) * sizeof(wchar_t)));

  ReportResultPath(State(), long_text);
  EXPECT_EQ(ReadSharedText(State().result_path), long_text.substr(0, 32767));
  EXPECT_EQ(State().result_path[32767], L'\0');
  ReportResultPath(State(), std::wstring(32767, L'r'));
  EXPECT_EQ(ReadSharedText(State().result_path).size(), 32767u);

  InterlockedExchange(&State().prompt_kind, static_cast<LONG>(PromptKind::Password));
  AnswerWorkerPrompt(State(), PromptAnswer::PasswordGiven, std::wstring(600, L'p'));
  EXPECT_EQ(ReadSharedText(State().password), std::wstring(511, L'p'));
  EXPECT_EQ(State().password[511], L'\0');
  // The neighbour after the password field is untouched by the cut.
  EXPECT_EQ(State().result_path[0], L'r');

  ReportFinalFailure(State(), std::string_view("ignored, a callback's reason is there"));
  EXPECT_EQ(Text(State().message, kSharedTextUnits), long_text.substr(0, 1023));
}

TEST_F(WorkerSharedStateTest, MessagePrecedence) {
  const std::wstring notice =
      L"ZIP onvolledig: minstens \u00e9\u00e9n ontbrekend of onleesbaar bestand is overgeslagen / "
      L"ZIP incomplete: at least one missing or unreadable file was skipped:\nC:\\a.txt";
  ReportNotice(State(), notice);
  ReportNotice(State(), L"a second notice");
  EXPECT_EQ(ReadSharedText(State().message), notice);

  // The notice is no failure: the final failure text replaces it.
  ReportFinalFailure(State(), std::string_view("Cannot write archive."));
  EXPECT_EQ(ReadSharedText(State().message), L"Cannot write archive.");

  // A callback's reason beats the engine's general failure that follows it,
  // but a later callback's reason replaces an earlier one.
  ReportCallbackFailure(State(), std::string_view("Cannot read file."));
  ReportFinalFailure(State(), std::string_view("Archive update failed."));
  EXPECT_EQ(ReadSharedText(State().message), L"Cannot read file.");
  ReportCallbackFailure(State(), L"Incorrect password / Onjuist wachtwoord.");
  EXPECT_EQ(ReadSharedText(State().message), L"Incorrect password / Onjuist wachtwoord.");
  ReportNotice(State(), notice);
  EXPECT_EQ(ReadSharedText(State().message), L"Incorrect password / Onjuist wachtwoord.");

  // Only the 14 characters count, not a shorter look-alike.
  ReportCallbackFailure(State(), L"ZIP onvolledi");
  ReportFinalFailure(State(), std::string_view("Failure."));
  EXPECT_EQ(ReadSharedText(State().message), L"ZIP onvolledi");

  // Narrow texts are UTF-8, also beyond the Basic Multilingual Plane.
  ReportCallbackFailure(State(), std::string_view("\xc3\xa9t\xc3\xa9 \xf0\x9d\x84\x9e"));
  EXPECT_EQ(ReadSharedText(State().message), L"\u00e9t\u00e9 \U0001D11E");
  ReportFinalFailure(State(), std::string_view("x"));
  FinishJob(State(), JobState::Failed, "caf\xc3\xa9");
  EXPECT_EQ(ReadSharedText(State().message), L"\u00e9t\u00e9 \U0001D11E");
}

TEST_F(WorkerSharedStateTest, FinishingKeepsTheDocumentedOrderOfEffects) {
  ReportTotal(State(), 500);
  ReportTotal(State(), 0);  // ignored: a known total stays
  ReportCompleted(State(), 123);
  ReportNotice(State(), L"ZIP onvolledig: x");
  AnswerWorkerPrompt(State(), PromptAnswer::PasswordGiven, L"secret");
  FinishJob(State(), JobState::Done, "not written on success");
  EXPECT_EQ(ReadJobState(State()), JobState::Done);
  EXPECT_EQ(ReadCompleted(State()), 500);
  EXPECT_EQ(ReadSharedText(State().message), L"ZIP onvolledig: x");
  EXPECT_TRUE(IsAllZero(State().password, sizeof(State().password)));

  const WorkerSharedStateMapping other = CreateWorkerSharedState(NewWorkerMappingName());
  WorkerSharedState& failed = *other.State();
  ReportTotal(failed, 500);
  ReportCompleted(failed, 100);
  AnswerWorkerPrompt(failed, PromptAnswer::PasswordGiven, L"secret");
  ASSERT_EQ(FailureOutcome(failed), JobState::Failed);
  FinishJob(failed, JobState::Failed, "Archive is damaged.");
  EXPECT_EQ(ReadJobState(failed), JobState::Failed);
  EXPECT_EQ(ReadCompleted(failed), 100);
  EXPECT_EQ(ReadSharedText(failed.message), L"Archive is damaged.");
  EXPECT_TRUE(IsAllZero(failed.password, sizeof(failed.password)));

  RequestWorkerStop(failed);
  EXPECT_EQ(FailureOutcome(failed), JobState::Cancelled);
  EXPECT_THROW(FinishJob(failed, JobState::Running), std::invalid_argument);
}

TEST_F(WorkerSharedStateTest, ProgressAsTheInterfaceShowsIt) {
  EXPECT_EQ(ProgressPercent(State(), false), 0u);
  ReportCompleted(State(), 40);
  EXPECT_EQ(ProgressPercent(State(), false), 0u) << "no total yet";
  ReportTotal(State(), 80);
  EXPECT_EQ(ProgressPercent(State(), false), 50u);
  ReportCompleted(State(), 80);
  EXPECT_EQ(ProgressPercent(State(), false), 99u) << "only Done counts 100";
  ReportCompleted(State(), 1000);
  EXPECT_EQ(ProgressPercent(State(), true), 99u) << "ended without Done";

  ReportTotal(State(), 0x7FFFFFFFFFFFFFFFull);
  ReportCompleted(State(), 0x7FFFFFFFFFFFFFFFull / 4);
  EXPECT_EQ(ProgressPercent(State(), false), 24u) << "large counters must not overflow";

  // Never reported a total, finished Done: the completed := total (0) step
  // still reads as full.
  const WorkerSharedStateMapping other = CreateWorkerSharedState(NewWorkerMappingName());
  EXPECT_EQ(ProgressPercent(*other.State(), false), 0u);
  FinishJob(*other.State(), JobState::Done);
  EXPECT_EQ(ProgressPercent(*other.State(), false), 0u) << "not ended yet";
  EXPECT_EQ(ProgressPercent(*other.State(), true), 100u);
}

TEST_F(WorkerSharedStateTest, MarkingDeadOverwritesAndFails) {
  ReportCallbackFailure(State(), L"earlier");
  MarkWorkerDead(State(), L"Worker stopped. It may have exceeded the memory limit.");
  EXPECT_EQ(ReadJobState(State()), JobState::Failed);
  EXPECT_EQ(ReadSharedText(State().message),
            L"Worker stopped. It may have exceeded the memory limit.");
}

// Two engine threads asking at once must not share the block's one prompt:
// the interface has to see them one after the other, each with its subject.
TEST_F(WorkerSharedStateTest, PromptsFromSeveralThreadsAreSerialised) {
  std::optional<std::wstring> password;
  PromptAnswer decision = PromptAnswer::Pending;
  std::thread asking_password([&] {
    try {
      password = RequestPassword(State());
    } catch (const std::exception&) {
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return IsPromptDue(State()); })) << "no password prompt";
  std::thread asking_conflict([&] {
    try {
      decision = AskWorkerPrompt(State(), PromptKind::Conflict, L"C:\\out\\a.txt");
    } catch (const std::exception&) {
      decision = PromptAnswer::Cancel;
    }
  });
  Sleep(100);  // time for the second thread to reach its prompt

  std::vector<SeenPrompt> seen;
  while (seen.size() < 2 && WaitUntil([&] { return IsPromptDue(State()); })) {
    seen.push_back(
        {static_cast<PromptKind>(State().prompt_kind), ReadSharedText(State().current_item)});
    if (seen.back().kind == PromptKind::Password)
      AnswerWorkerPrompt(State(), PromptAnswer::PasswordGiven, L"pw");
    else
      AnswerWorkerPrompt(State(), PromptAnswer::Skip);
  }
  // Frees a thread still waiting after a lost prompt.
  if (seen.size() < 2) RequestWorkerStop(State());
  asking_password.join();
  asking_conflict.join();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].kind, PromptKind::Password);
  EXPECT_EQ(seen[0].subject, L"Password");
  EXPECT_EQ(seen[1].kind, PromptKind::Conflict);
  EXPECT_EQ(seen[1].subject, L"C:\\out\\a.txt");
  EXPECT_EQ(password, std::optional<std::wstring>(L"pw"));
  EXPECT_EQ(decision, PromptAnswer::Skip);
  EXPECT_EQ(State().prompt_kind, 0);
}

TEST_F(WorkerSharedStateTest, ConflictAnswerOtherThanADecisionCancels) {
  std::string failure;
  std::thread asking([&] {
    try {
      AskWorkerPrompt(State(), PromptKind::Conflict, L"C:\\x");
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
  });
  const bool due = WaitUntil([&] { return IsPromptDue(State()); });
  AnswerWorkerPrompt(State(), PromptAnswer::PasswordGiven);
  asking.join();
  ASSERT_TRUE(due);
  EXPECT_EQ(failure, "Cancelled.");
  EXPECT_FALSE(IsWorkerStopRequested(State()));
  EXPECT_EQ(FailureOutcome(State()), JobState::Failed);
}

// --- Two processes through the real named mapping ---------------------------

TEST_F(WorkerSharedStateTest, WorkerProcessAsksForThePasswordOnlyUntilOneIsGiven) {
  const WorkerRun run = SuperviseWorker(
      State(), name_, "password", [](WorkerSharedState& state, size_t index, const SeenPrompt&) {
        if (index == 0)
          AnswerWorkerPrompt(state, PromptAnswer::Skip);
        else
          AnswerWorkerPrompt(state, PromptAnswer::PasswordGiven, L"p\u00e4ssw\u00f6rd");
        return true;
      });
  EXPECT_EQ(run.exit_code, 0u);
  ASSERT_EQ(run.prompts.size(), 2u) << "the third request must reuse the stored password";
  for (const SeenPrompt& prompt : run.prompts) {
    EXPECT_EQ(prompt.kind, PromptKind::Password);
    EXPECT_EQ(prompt.subject, L"Password");
  }
  EXPECT_EQ(ReadSharedText(State().result_path), L"<none>|p\u00e4ssw\u00f6rd|p\u00e4ssw\u00f6rd");
  EXPECT_EQ(ReadJobState(State()), JobState::Done);
  EXPECT_EQ(ReadCompleted(State()), 1000);
  EXPECT_EQ(ProgressPercent(State(), true), 100u);
  EXPECT_EQ(State().prompt_kind, 0);
  EXPECT_TRUE(IsAllZero(State().password, sizeof(State().password)));
}

TEST_F(WorkerSharedStateTest, WorkerProcessFollowsConflictAnswersUntilStopped) {
  const PromptAnswer script[] = {PromptAnswer::KeepBoth, PromptAnswer::Replace, PromptAnswer::Skip};
  const WorkerRun run = SuperviseWorker(
      State(), name_, "conflict", [&](WorkerSharedState& state, size_t index, const SeenPrompt&) {
        if (index < std::size(script)) {
          AnswerWorkerPrompt(state, script[index]);
          return true;
        }
        // The window closes while the prompt is open: stop without answering.
        RequestWorkerStop(state);
        return false;
      });
  EXPECT_EQ(run.exit_code, 2u);
  ASSERT_EQ(run.prompts.size(), 4u);
  for (size_t index = 0; index < run.prompts.size(); ++index) {
    EXPECT_EQ(run.prompts[index].kind, PromptKind::Conflict);
    EXPECT_EQ(run.prompts[index].subject, L"C:\\out\\file" + std::to_wstring(index) + L".txt");
  }
  EXPECT_EQ(ReadSharedText(State().result_path), L"3,4,2,");
  EXPECT_EQ(ReadJobState(State()), JobState::Cancelled);
  EXPECT_EQ(ReadSharedText(State().message), L"Cancelled.");
  EXPECT_EQ(State().prompt_kind, 0);
  EXPECT_EQ(State().prompt_answer, 0) << "the stop came without an answer";
}

TEST_F(WorkerSharedStateTest, WorkerProcessEndsCancelledWhenThePasswordPromptIsCancelled) {
  const WorkerRun run = SuperviseWorker(State(), name_, "cancel-password",
                                        [](WorkerSharedState& state, size_t, const SeenPrompt&) {
                                          AnswerWorkerPrompt(state, PromptAnswer::Cancel);
                                          return true;
                                        });
  EXPECT_EQ(run.exit_code, 2u);
  ASSERT_EQ(run.prompts.size(), 1u);
  EXPECT_EQ(ReadJobState(State()), JobState::Cancelled);
  EXPECT_EQ(ReadSharedText(State().message), L"Cancelled.");
  EXPECT_EQ(State().cancel_flag, 1);
  EXPECT_EQ(State().prompt_answer, static_cast<LONG>(PromptAnswer::Cancel));
  EXPECT_EQ(State().prompt_kind, 0);
  EXPECT_TRUE(IsAllZero(State().password, sizeof(State().password)));
}

}  // namespace
}  // namespace cindral

// The same program serves as the worker of the process tests.
int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], cindral::kWorkerSwitch) == 0)
    return cindral::RunWorkerSide(argv[2], argv[3]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
