// Whole runs on the virtual display: a plain window stands in for the main
// window and ticks the supervision from its timer, this program's copies run
// as real workers, and a driver thread answers the prompts and boxes the way
// a user would, by finding them and pressing their buttons.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <variant>

#include "app/ui/prompts.h"
#include "app/ui/supervision.h"
#include "app/ui/texts.h"
#include "tests/gui/screenshot.h"
#include "tests/ui/run_support.h"
#include "tests/ui/test_worker.h"

namespace cindral {
namespace {

using namespace cindral::testing;

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMilliseconds = 100;
constexpr DWORD kRunTimeoutMs = 90000;
constexpr wchar_t kMainClass[] = L"Cindral.TestMainWindow";

// --- The user: finds this program's prompts and boxes and answers them ------

struct TypePassword {
  std::wstring text;
};
struct ClosePasswordWindow {};
struct PressConflictButton {
  int id;
};
struct PressEscape {};
using Answer = std::variant<TypePassword, ClosePasswordWindow, PressConflictButton, PressEscape>;

struct SeenBox {
  std::wstring title;
  std::wstring text;
};

class User {
 public:
  explicit User(DWORD main_thread) : main_thread_(main_thread) {
    thread_ = std::thread([this] { Watch(); });
  }
  ~User() {
    stop_ = true;
    thread_.join();
  }

  // Answers for the prompts, in the order they appear.
  void Plan(std::deque<Answer> answers) {
    const std::lock_guard lock(mutex_);
    answers_ = std::move(answers);
  }
  // Called before a password prompt is answered.
  void BeforePassword(std::function<void()> hook) {
    const std::lock_guard lock(mutex_);
    before_password_ = std::move(hook);
  }

  std::vector<SeenBox> Boxes() {
    const std::lock_guard lock(mutex_);
    return boxes_;
  }
  int PromptsAnswered() const { return prompts_answered_; }
  int MostPasswordWindowsAtOnce() const { return most_password_windows_; }
  size_t UnusedAnswers() {
    const std::lock_guard lock(mutex_);
    return answers_.size();
  }

 private:
  // The texts of a message box's static controls (the icon has none).
  static std::wstring BoxText(HWND box) {
    std::wstring text;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      if (ClassName(child) != L"Static") continue;
      const std::wstring part = WindowText(child);
      if (!part.empty()) text += part;
    }
    return text;
  }

  std::optional<Answer> NextAnswer() {
    const std::lock_guard lock(mutex_);
    if (answers_.empty()) return std::nullopt;
    Answer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  void AnswerPassword(HWND prompt) {
    std::function<void()> hook;
    {
      const std::lock_guard lock(mutex_);
      hook = before_password_;
    }
    if (hook) hook();
    Sleep(300);  // painted, for the screenshot
    SaveWindowScreenshot(prompt, L"password_prompt");
    const auto answer = NextAnswer();
    ++prompts_answered_;
    if (answer && std::holds_alternative<TypePassword>(*answer)) {
      SendMessageW(GetDlgItem(prompt, kPasswordEditId), WM_SETTEXT, 0,
                   reinterpret_cast<LPARAM>(std::get<TypePassword>(*answer).text.c_str()));
      SendMessageW(GetDlgItem(prompt, kPasswordConfirmId), BM_CLICK, 0, 0);
      return;
    }
    PostMessageW(prompt, WM_SYSCOMMAND, SC_CLOSE, 0);
  }

  void AnswerConflict(HWND dialog) {
    Sleep(300);
    SaveWindowScreenshot(dialog, L"conflict_prompt");
    const auto answer = NextAnswer();
    ++prompts_answered_;
    if (answer && std::holds_alternative<PressConflictButton>(*answer)) {
      SendMessageW(dialog, TDM_CLICK_BUTTON, std::get<PressConflictButton>(*answer).id, 0);
      return;
    }
    // Esc as the keyboard delivers it: to the control that has the focus.
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(main_thread_, &info);
    const HWND target = info.hwndFocus ? info.hwndFocus : dialog;
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  }

  void AnswerBox(HWND box) {
    Sleep(200);
    SaveWindowScreenshot(box, L"message_box");
    {
      const std::lock_guard lock(mutex_);
      boxes_.push_back({WindowText(box), BoxText(box)});
    }
    HWND button = GetDlgItem(box, IDOK);
    if (!button) button = GetDlgItem(box, IDCANCEL);
    SendMessageW(button, BM_CLICK, 0, 0);
  }

  void Watch() {
    std::set<HWND> handled;
    while (!stop_) {
      const std::vector<HWND> windows = VisibleWindowsOf(GetCurrentProcessId());
      int password_windows = 0;
      for (const HWND window : windows)
        password_windows += ClassName(window) == kPasswordWindowClass ? 1 : 0;
      most_password_windows_ = std::max(most_password_windows_.load(), password_windows);
      for (const HWND window : windows) {
        if (handled.count(window)) continue;
        const std::wstring name = ClassName(window);
        if (name == kPasswordWindowClass) {
          handled.insert(window);
          AnswerPassword(window);
        } else if (name == L"#32770") {
          handled.insert(window);
          if (GetDlgItem(window, kConflictSkipId))
            AnswerConflict(window);
          else
            AnswerBox(window);
        }
      }
      Sleep(30);
    }
  }

  DWORD main_thread_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<Answer> answers_;
  std::function<void()> before_password_;
  std::vector<SeenBox> boxes_;
  std::atomic<int> prompts_answered_{0};
  std::atomic<int> most_password_windows_{0};
};

// --- A stand-in main window that ticks the run ------------------------------

std::atomic<int> g_job_objects_before_failure{-1};

HANDLE WINAPI CreateJobObjectUntilExhausted(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name) {
  if (g_job_objects_before_failure-- <= 0) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return nullptr;
  }
  return CreateJobObjectW(attributes, name);
}

class RunTest : public ::testing::Test {
 protected:
  static RunTest* current_;

  static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_TIMER && wparam == kTickTimer && current_)
      SuperviseJobs(current_->run_, current_->run_window_);
    return DefWindowProcW(window, message, wparam, lparam);
  }

  void SetUp() override {
    SetDutchInterface(false);
    current_ = this;
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = MainWindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = kMainClass;
    RegisterClassExW(&window_class);
    window_ = CreateWindowExW(0, kMainClass, L"Vantle", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 60, 60,
                              640, 420, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
    run_window_.window = window_;
    run_window_.show_working = [this] { ++working_shown_; };
    run_window_.show_try_again = [this] { ++try_again_shown_; };
    user_ = std::make_unique<User>(GetCurrentThreadId());
  }

  void TearDown() override {
    user_.reset();
    if (IsWindow(window_)) DestroyWindow(window_);
    run_.jobs.clear();
    current_ = nullptr;
    EXPECT_TRUE(WaitForNoChildProcesses(kRunTimeoutMs)) << "a worker outlived the run";
    EXPECT_TRUE(folder_.RequestFiles().empty()) << "a request file was left behind";
    for (const std::wstring& name : mappings_) EXPECT_FALSE(MappingExists(name)) << "still open";
  }

  void Start(std::vector<fs::path> inputs, uint64_t processors, bool pack = false) {
    run_.pack = pack;
    run_.inputs.clear();
    for (const fs::path& input : inputs) run_.inputs.push_back(input.wstring());
    StartRun(run_, run_window_, processors);
    NoteMappings();
    if (IsWindow(window_)) SetTimer(window_, kTickTimer, kTickMilliseconds, nullptr);
  }

  void NoteMappings() {
    for (const auto& job : run_.jobs) mappings_.insert(job->mapping_name);
  }

  // Runs the window's messages until the run is over; observe runs between
  // messages, on this thread.
  void PumpUntilRunEnds(const std::function<void()>& observe = {}) {
    const ULONGLONG deadline = GetTickCount64() + kRunTimeoutMs;
    MSG message;
    while (run_.busy && IsWindow(window_)) {
      ASSERT_LT(GetTickCount64(), deadline) << "the run did not end";
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      NoteMappings();
      if (observe) observe();
      Sleep(10);
    }
  }

  TestFolder folder_;
  HWND window_ = nullptr;
  RunState run_;
  RunWindow run_window_;
  int working_shown_ = 0;
  int try_again_shown_ = 0;
  std::set<std::wstring> mappings_;
  std::unique_ptr<User> user_;
};

RunTest* RunTest::current_ = nullptr;

TEST_F(RunTest, FiveArchivesRunTwoAtATimeAndTheProgramCloses) {
  std::vector<fs::path> inputs;
  for (int n = 1; n <= 5; ++n) inputs.push_back(folder_.Copy("run" + std::to_string(n) + ".zip"));
  // Four processors allow two workers with two threads each.
  Start(inputs, 4);
  EXPECT_EQ(run_.parameters.max_workers, 2u);
  EXPECT_EQ(run_.parameters.threads_per_worker, 2u);
  EXPECT_EQ(run_.jobs.size(), 2u);
  EXPECT_EQ(working_shown_, 1);
  size_t most_processes = 0;
  double last_progress = 0;
  bool progress_went_back = false;
  PumpUntilRunEnds([&] {
    most_processes = std::max(most_processes, CountChildProcesses());
    progress_went_back |= run_.progress < last_progress;
    last_progress = run_.progress;
  });
  EXPECT_LE(most_processes, 2u);
  EXPECT_FALSE(progress_went_back);
  EXPECT_DOUBLE_EQ(run_.progress, 100.0);
  EXPECT_EQ(mappings_.size(), 5u);
  EXPECT_FALSE(IsWindow(window_)) << "a clean end closes the program";
  EXPECT_TRUE(user_->Boxes().empty());
  for (int n = 1; n <= 5; ++n)
    EXPECT_EQ(ReadFileText(folder_.Work() / ("run" + std::to_string(n) + ".txt")).substr(0, 6),
              "run " + std::to_string(n) + "\n");
}

class KilledWorkerTest : public RunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(KilledWorkerTest, ReportsTheMemoryLimitAndStopsTheRun) {
  const bool dutch = GetParam();
  SetDutchInterface(dutch);
  Start({folder_.Touch("a.hang"), folder_.Touch("b.wait"), folder_.Touch("c.done")}, 4);
  ASSERT_EQ(run_.jobs.size(), 2u);
  ASSERT_TRUE(TerminateProcess(run_.jobs[0]->process.Get(), 9));
  PumpUntilRunEnds();
  ASSERT_TRUE(IsWindow(window_));
  EXPECT_EQ(try_again_shown_, 1);
  EXPECT_TRUE(run_.jobs.empty());
  EXPECT_EQ(run_.progress, 0.0);
  EXPECT_EQ(run_.status_text, Text(kTextRetryStatus));
  EXPECT_EQ(mappings_.size(), 2u) << "the third input is never launched";
  const auto boxes = user_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title,
            dutch ? L"Vantle \u00B7 niet voltooid" : L"Vantle \u00B7 could not finish");
  EXPECT_EQ(boxes[0].text, dutch ? L"Worker gestopt. Mogelijk onvoldoende geheugen."
                                 : L"Worker stopped. It may have exceeded the memory limit.");
}

INSTANTIATE_TEST_SUITE_P(EnglishAndDutch, KilledWorkerTest, ::testing::Values(false, true));

TEST_F(RunTest, AFailedJobOffersTryAgainWhichStartsAFreshRun) {
  const fs::path input = folder_.Touch("x.fail");
  Start({input}, 8);
  PumpUntilRunEnds();
  ASSERT_TRUE(IsWindow(window_));
  EXPECT_EQ(try_again_shown_, 1);
  Start({input}, 8);
  EXPECT_EQ(working_shown_, 2);
  PumpUntilRunEnds();
  EXPECT_EQ(try_again_shown_, 2);
  EXPECT_EQ(mappings_.size(), 2u) << "each run has workers of its own";
  const auto boxes = user_->Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const SeenBox& box : boxes) {
    EXPECT_EQ(box.title, L"Vantle \u00B7 could not finish");
    EXPECT_EQ(box.text, L"Made to fail.");
  }
}

TEST_F(RunTest, ALaunchFailingDuringATickStopsTheRunAndIsReported) {
  g_job_objects_before_failure = 2;
  run_.launch_calls.create_job_object = CreateJobObjectUntilExhausted;
  Start({folder_.Touch("1.done"), folder_.Touch("2.wait"), folder_.Touch("3.done")}, 4);
  ASSERT_EQ(run_.jobs.size(), 2u);
  PumpUntilRunEnds();
  ASSERT_TRUE(IsWindow(window_)) << "the run must not end as if all went well";
  EXPECT_EQ(try_again_shown_, 1);
  const auto boxes = user_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, L"Vantle \u00B7 could not finish");
  EXPECT_EQ(boxes[0].text, L"Cannot create a worker resource limit.");
}

TEST_F(RunTest, AFailedFirstLaunchIsShownAndEndsTheProgram) {
  g_job_objects_before_failure = 0;
  run_.launch_calls.create_job_object = CreateJobObjectUntilExhausted;
  Start({folder_.Touch("1.done")}, 4);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_FALSE(run_.busy);
  const auto boxes = user_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, L"Vantle");
  EXPECT_EQ(boxes[0].text, L"Cannot create a worker resource limit.");
}

TEST_F(RunTest, ANoticeIsShownBeforeTheProgramCloses) {
  Start({folder_.Touch("1.done"), folder_.Touch("2.notice")}, 4);
  PumpUntilRunEnds();
  EXPECT_FALSE(IsWindow(window_));
  const auto boxes = user_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, L"Vantle");
  EXPECT_EQ(boxes[0].text, L"Notice from 2.notice");
}

TEST_F(RunTest, StoppingTheRunLaunchesNothingMoreAndEndsQuietly) {
  // Two processors: one worker at a time.
  Start({folder_.Touch("a.wait"), folder_.Touch("b.wait")}, 2);
  PumpUntilRunEnds([&] {
    // The worker's current item reaches the status line; then the user stops.
    if (run_.status_text == L"a.wait" && run_.next_index < run_.inputs.size()) StopRun(run_);
  });
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_EQ(mappings_.size(), 1u);
  EXPECT_TRUE(user_->Boxes().empty());
}

TEST_F(RunTest, PasswordPromptsComeOneAtATimeAndBothEncryptedArchivesExtract) {
  const fs::path zip = folder_.Copy("aes.zip");
  const fs::path sevenz = folder_.Copy("headers.7z");
  user_->Plan({TypePassword{L"secret"}, TypePassword{L"secret"}});
  Start({zip, sevenz}, 4);
  ASSERT_EQ(run_.jobs.size(), 2u);
  std::vector<WorkerSharedState*> states;
  for (const auto& job : run_.jobs) states.push_back(&job->State());
  // The first prompt waits until the other worker asks too, so a second
  // prompt would have every chance to appear.
  std::atomic<bool> first{true};
  // Read from the user's thread while the prompt is open: the main thread is
  // then inside the prompt's loop, where the ticks leave the run alone.
  std::wstring status_while_asked;
  bool main_window_usable = true;
  user_->BeforePassword([&] {
    if (!first.exchange(false)) return;
    status_while_asked = run_.status_text;
    main_window_usable = IsWindowEnabled(window_);
    const ULONGLONG deadline = GetTickCount64() + 30000;
    auto both_ask = [&] {
      return std::all_of(states.begin(), states.end(), [](WorkerSharedState* state) {
        return state->prompt_kind == static_cast<LONG>(PromptKind::Password);
      });
    };
    while (!both_ask() && GetTickCount64() < deadline) Sleep(20);
    EXPECT_TRUE(both_ask());
    Sleep(5 * kTickMilliseconds);
  });
  PumpUntilRunEnds();
  EXPECT_EQ(status_while_asked, L"Password");
  EXPECT_FALSE(main_window_usable);
  EXPECT_EQ(user_->PromptsAnswered(), 2);
  EXPECT_EQ(user_->MostPasswordWindowsAtOnce(), 1);
  EXPECT_TRUE(user_->Boxes().empty());
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_EQ(ReadFileText(folder_.Work() / "aes.txt"), "inside the AES-256 ZIP\n");
  EXPECT_EQ(ReadFileText(folder_.Work() / "headers.txt"), "inside the 7z with hidden names\n");
}

TEST_F(RunTest, AWrongPasswordFailsTheJob) {
  user_->Plan({TypePassword{L"not the secret"}});
  Start({folder_.Copy("aes.zip")}, 4);
  EXPECT_EQ(run_.status_text, L"");
  PumpUntilRunEnds();
  ASSERT_TRUE(IsWindow(window_));
  EXPECT_TRUE(IsWindowEnabled(window_)) << "the prompt gives the main window back";
  const auto boxes = user_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, L"Vantle \u00B7 could not finish");
  EXPECT_EQ(boxes[0].text, L"Incorrect password / Onjuist wachtwoord.");
  EXPECT_FALSE(fs::exists(folder_.Work() / "aes.txt"));
}

TEST_F(RunTest, ClosingThePasswordWindowCancelsQuietly) {
  user_->Plan({ClosePasswordWindow{}});
  Start({folder_.Copy("headers.7z")}, 4);
  JobState outcome = JobState::Running;
  PumpUntilRunEnds([&] {
    if (!run_.jobs.empty()) outcome = ReadJobState(run_.jobs[0]->State());
  });
  EXPECT_EQ(user_->PromptsAnswered(), 1);
  EXPECT_EQ(outcome, JobState::Cancelled);
  EXPECT_FALSE(IsWindow(window_)) << "a cancelled run ends the program";
  EXPECT_TRUE(user_->Boxes().empty());
  EXPECT_FALSE(fs::exists(folder_.Work() / "headers.txt"));
}

struct ConflictCase {
  const char* name;
  Answer answer;
  const char* existing_after;  // a.txt
  bool kept_both;              // "a (1).txt" holds the new text
};

void PrintTo(const ConflictCase& c, std::ostream* out) { *out << c.name; }

class ConflictTest : public RunTest, public ::testing::WithParamInterface<ConflictCase> {};

TEST_P(ConflictTest, TheAnswerDecidesTheExistingFile) {
  const ConflictCase& c = GetParam();
  const fs::path archive = folder_.Copy("conflict.zip");
  {
    std::ofstream existing(folder_.Work() / "a.txt", std::ios::binary);
    existing << "old\n";
  }
  user_->Plan({c.answer});
  Start({archive}, 4);
  PumpUntilRunEnds();
  EXPECT_EQ(user_->PromptsAnswered(), 1);
  EXPECT_EQ(user_->UnusedAnswers(), 0u);
  EXPECT_FALSE(IsWindow(window_)) << "skipping or cancelling is not a failure";
  EXPECT_TRUE(user_->Boxes().empty());
  EXPECT_EQ(ReadFileText(folder_.Work() / "a.txt"), c.existing_after);
  EXPECT_EQ(fs::exists(folder_.Work() / "a (1).txt"), c.kept_both);
  if (c.kept_both) {
    EXPECT_EQ(ReadFileText(folder_.Work() / "a (1).txt"), "new\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ConflictTest,
    ::testing::Values(
        ConflictCase{"Skip", PressConflictButton{kConflictSkipId}, "old\n", false},
        ConflictCase{"KeepBoth", PressConflictButton{kConflictKeepBothId}, "old\n", true},
        ConflictCase{"Replace", PressConflictButton{kConflictReplaceId}, "new\n", false},
        ConflictCase{"Escape", PressEscape{}, "old\n", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cindral
