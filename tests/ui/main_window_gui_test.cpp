// The real Vantle.exe window under the virtual display, driven from outside
// the way a person would: button presses, keys, drops of real paths, closing.
// Screenshots of every state land under build/bin/screenshots/.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/ui/layout.h"
#include "app/ui/prompts.h"
#include "common/selection_request.h"
#include "tests/e2e/job_support.h"
#include "tests/e2e/process_runner.h"
#include "tests/gui/screenshot.h"

namespace cindral::testing {
namespace {

constexpr int kMainButton = 1;
constexpr int kCancelButton = 2;
constexpr int kLanguageButton = 3;
constexpr int kZoomButton = 4;

constexpr unsigned kBackground = 0x0D1115;
constexpr unsigned kPanel = 0x161C21;
constexpr unsigned kTrack = 0x2A3339;
constexpr unsigned kAccent = 0x9CFF38;

// Polls until the condition holds; the limits are far above what the steps
// take, so only a real fault runs into them.
bool WaitFor(const std::function<bool()>& condition, DWORD timeout_ms = 30000) {
  const ULONGLONG end = GetTickCount64() + timeout_ms;
  while (GetTickCount64() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// One running Vantle.exe with its main window.
class Vantle {
 public:
  Vantle(const fs::path& program, const std::vector<std::wstring>& arguments)
      : started_(StartProgram(program, arguments, program.parent_path())) {
    if (!started_.process) return;
    WaitFor([&] { return (window_ = FindVisibleWindow(started_.id, L"Cindral.Window")); });
  }
  ~Vantle() {
    if (started_.process && WaitForSingleObject(started_.process.Get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(started_.process.Get(), 99);
      WaitForSingleObject(started_.process.Get(), 10000);
    }
  }

  HWND Window() const { return window_; }
  HWND Button(int id) const { return GetDlgItem(window_, id); }
  std::wstring Caption(int id) const { return WindowText(Button(id)); }
  bool Shows(int id) const { return IsWindowVisible(Button(id)) != FALSE; }
  void Press(int id) const { PostMessageW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
  void Key(WPARAM key) const { PostMessageW(window_, WM_KEYDOWN, key, 0); }
  HWND FindWindowOfClass(const wchar_t* class_name) const {
    return FindVisibleWindow(started_.id, class_name);
  }

  // Drops the paths on the window as the shell would: a DROPFILES block in
  // the window's own process, since a handle of this process means nothing
  // there.
  void Drop(const std::vector<fs::path>& paths) const {
    std::wstring list;
    for (const fs::path& path : paths) list += path.wstring() + L'\0';
    list += L'\0';
    std::vector<char> block(sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
    DROPFILES header{};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = TRUE;
    memcpy(block.data(), &header, sizeof(header));
    memcpy(block.data() + sizeof(header), list.data(), list.size() * sizeof(wchar_t));
    void* remote = VirtualAllocEx(started_.process.Get(), nullptr, block.size(),
                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(remote, nullptr);
    ASSERT_TRUE(
        WriteProcessMemory(started_.process.Get(), remote, block.data(), block.size(), nullptr));
    PostMessageW(window_, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0);
  }

  // Tells the window it moved to a monitor of the given DPI, with the
  // suggested rectangle in the window's own process as the system puts it.
  void ChangeDpi(WORD dpi, const RECT& suggested) const {
    void* remote = VirtualAllocEx(started_.process.Get(), nullptr, sizeof(RECT),
                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(remote, nullptr);
    ASSERT_TRUE(
        WriteProcessMemory(started_.process.Get(), remote, &suggested, sizeof(RECT), nullptr));
    PostMessageW(window_, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(remote));
  }

  // The exit code once the process has ended by itself, or 259 (still
  // active) when it did not within the time.
  DWORD ExitCode(DWORD timeout_ms = 60000) const {
    WaitForSingleObject(started_.process.Get(), timeout_ms);
    DWORD code = 0;
    GetExitCodeProcess(started_.process.Get(), &code);
    return code;
  }
  bool HasEnded() const { return WaitForSingleObject(started_.process.Get(), 0) == WAIT_OBJECT_0; }

  // Waits until every message sent so far has been handled and the window
  // has painted.
  void Settle() const {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &ignored);
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &ignored);
    PumpMessagesFor(300);
  }

 private:
  StartedProgram started_;
  HWND window_ = nullptr;
};

// The centre of a child window in its parent's client coordinates.
POINT ChildCentre(HWND parent, HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// Pixels of the idle layout at DPI scale 1, away from edges and text.
void ExpectIdlePalette(const Vantle& vantle) {
  const HWND window = vantle.Window();
  EXPECT_EQ(ReadClientColour(window, POINT{10, 150}), kBackground) << "background";
  EXPECT_EQ(ReadClientColour(window, POINT{300, 240}), kPanel) << "drop-zone panel";
  EXPECT_EQ(ReadClientColour(window, POINT{300, 311}), kTrack) << "progress track";
  const POINT main = ChildCentre(window, vantle.Button(kMainButton));
  EXPECT_EQ(ReadClientColour(window, POINT{40, main.y}), kAccent) << "main button";
  EXPECT_EQ(ReadClientColour(window, POINT{31, main.y}), kAccent) << "main button edge";
}

// A cell background: the panel colour, tinted by at most 30/255 of a load
// colour (lime, amber or red), never the plain window background.
void ExpectMeterCell(const Vantle& vantle) {
  const unsigned colour = ReadClientColour(vantle.Window(), POINT{56, 370 + 30});
  // (The first cell at DPI scale 1 is at least 32 high: x 56 and y 400 lie
  // below its bar and inside its rounded corners.)
  const int red = static_cast<int>(colour >> 16 & 0xFF);
  const int green = static_cast<int>(colour >> 8 & 0xFF);
  EXPECT_GE(red, 0x16) << std::hex << colour;
  EXPECT_LE(red, 0x16 + 32) << std::hex << colour;
  EXPECT_GE(green, 0x1C) << std::hex << colour;
  EXPECT_LE(green, 0x1C + 32) << std::hex << colour;
  // Between the first two cells of a row of two or more lies the background.
  RECT client{};
  GetClientRect(vantle.Window(), &client);
  const size_t processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  const auto width = static_cast<float>(client.right);
  const MeterGrid grid = LayoutMeterGrid(processors, width, 0, WindowZoom::kRestored);
  const LogicalRect first = MeterCellRect(0, grid, width);
  if (grid.columns >= 2 && grid.gap >= 6) {
    const POINT gap{static_cast<LONG>(first.x + first.width + 3), 370 + 16};
    EXPECT_EQ(ReadClientColour(vantle.Window(), gap), kBackground);
  }
}

class MainWindowTest : public JobTest {};

TEST_F(MainWindowTest, IdleWindowInBothLanguages) {
  Vantle vantle(program_, {});
  ASSERT_NE(vantle.Window(), nullptr);
  vantle.Settle();
  EXPECT_EQ(WindowText(vantle.Window()), L"Vantle");
  const bool dutch_first = vantle.Caption(kMainButton) == L"Hier uitpakken";
  EXPECT_EQ(vantle.Caption(kMainButton), dutch_first ? L"Hier uitpakken" : L"Extract here");
  EXPECT_EQ(vantle.Caption(kLanguageButton), L"NL / EN");
  EXPECT_TRUE(vantle.Shows(kMainButton));
  EXPECT_FALSE(vantle.Shows(kCancelButton));
  ExpectIdlePalette(vantle);
  ExpectMeterCell(vantle);
  SaveWindowScreenshot(vantle.Window(), dutch_first ? L"idle-nl" : L"idle-en");

  vantle.Press(kLanguageButton);
  vantle.Settle();
  EXPECT_EQ(vantle.Caption(kMainButton), dutch_first ? L"Extract here" : L"Hier uitpakken");
  EXPECT_EQ(vantle.Caption(kCancelButton), dutch_first ? L"Cancel" : L"Annuleren");
  ExpectIdlePalette(vantle);
  SaveWindowScreenshot(vantle.Window(), dutch_first ? L"idle-en" : L"idle-nl");

  PostMessageW(vantle.Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
}

// Closes the process's message box (the failure report) with its OK button.
bool DismissMessageBox(const Vantle& vantle) {
  HWND box = nullptr;
  if (!WaitFor([&] { return (box = vantle.FindWindowOfClass(L"#32770")) != nullptr; })) {
    return false;
  }
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return WaitFor([&] { return !IsWindow(box); });
}

TEST_F(MainWindowTest, ExtractsBothArchivesFromTheCommandLineAndCloses) {
  const fs::path zip = CopyFixture("good.zip", work_);
  const fs::path seven = CopyFixture("copy.7z", work_);
  Vantle vantle(program_, {L"--extract", zip.wstring(), seven.wstring()});
  EXPECT_EQ(vantle.ExitCode(), 0u);
  EXPECT_EQ(ReadBytes(work_ / "dir" / "b.txt"), "beta\n");
  EXPECT_EQ(ReadBytes(work_ / "sub" / "two.txt"), "two\n");
}

TEST_F(MainWindowTest, PacksAFolderAndReadsARequestFile) {
  fs::create_directories(work_ / "photos" / "may");
  WriteBytes(work_ / "photos" / "may" / "p.txt", "picture\n");
  {
    Vantle vantle(program_, {L"--pack", (work_ / "photos").wstring()});
    EXPECT_EQ(vantle.ExitCode(), 0u);
  }
  EXPECT_TRUE(fs::is_regular_file(work_ / "photos.zip"));

  const fs::path other = work_ / "other";
  const fs::path archive = CopyFixture("good.zip", other);
  const fs::path request = WriteSelectionRequest(false, {archive.wstring()});
  Vantle vantle(program_, {L"--request", request.wstring()});
  EXPECT_EQ(vantle.ExitCode(), 0u);
  EXPECT_EQ(ReadBytes(other / "dir" / "b.txt"), "beta\n");
  EXPECT_FALSE(fs::exists(request));
}

TEST_F(MainWindowTest, DropTakesOnlyArchivesAndTheButtonStartsTheRun) {
  const fs::path archive = CopyFixture("good.zip", work_, "GOOD.ZIP");
  WriteBytes(work_ / "notes.txt", "not an archive\n");
  Vantle idle(program_, {});
  ASSERT_NE(idle.Window(), nullptr);
  idle.Drop({archive, work_ / "notes.txt"});
  idle.Settle();
  EXPECT_EQ(idle.Caption(kMainButton), L"Extract here");
  SaveWindowScreenshot(idle.Window(), L"dropped-en");
  idle.Press(kMainButton);
  EXPECT_EQ(idle.ExitCode(), 0u);
  EXPECT_EQ(ReadBytes(work_ / "dir" / "b.txt"), "beta\n");
  // The text file was not an input: nothing was packed or extracted from it.
  EXPECT_FALSE(fs::exists(work_ / "notes.zip"));
}

TEST_F(MainWindowTest, WithNothingSelectedTheButtonAsksWithTheFileDialog) {
  WriteBytes(work_ / "notes.txt", "not an archive\n");
  const fs::path archive = CopyFixture("good.zip", work_ / "chosen");
  Vantle vantle(program_, {});
  ASSERT_NE(vantle.Window(), nullptr);
  // Only non-archives dropped: still nothing selected.
  vantle.Drop({work_ / "notes.txt"});
  vantle.Press(kMainButton);
  HWND dialog = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (dialog = vantle.FindWindowOfClass(L"#32770")) != nullptr; }));
  PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
  vantle.Settle();
  EXPECT_FALSE(vantle.HasEnded());
  EXPECT_TRUE(IsWindowEnabled(vantle.Button(kMainButton)));
  EXPECT_FALSE(vantle.Shows(kCancelButton));

  vantle.Press(kMainButton);
  ASSERT_TRUE(WaitFor([&] { return (dialog = vantle.FindWindowOfClass(L"#32770")) != nullptr; }));
  HWND name_field = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM found) -> BOOL {
          if (GetDlgCtrlID(child) != 1152) return TRUE;
          *reinterpret_cast<HWND*>(found) = child;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&name_field));
    return name_field != nullptr;
  }));
  SendMessageW(name_field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(archive.c_str()));
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
  EXPECT_EQ(ReadBytes(work_ / "chosen" / "dir" / "b.txt"), "beta\n");
}

// An encrypted archive holds the run at its password prompt: the window is
// busy for as long as the test needs.
class PromptedRun {
 public:
  PromptedRun(const fs::path& program, const fs::path& archive)
      : vantle_(program, {L"--extract", archive.wstring()}) {
    WaitFor([&] { return (prompt_ = vantle_.FindWindowOfClass(L"Cindral.Password")); });
  }
  Vantle& vantle() { return vantle_; }
  HWND prompt() const { return prompt_; }

 private:
  Vantle vantle_;
  HWND prompt_ = nullptr;
};

TEST_F(MainWindowTest, PasswordPromptWhileBusyRefusesDropsAndStarts) {
  const fs::path archive = CopyFixture("encrypted.zip", work_);
  const fs::path elsewhere = CopyFixture("good.zip", work_ / "elsewhere");
  PromptedRun run(program_, archive);
  Vantle& vantle = run.vantle();
  ASSERT_NE(run.prompt(), nullptr);
  EXPECT_EQ(vantle.Caption(kMainButton), L"Working\u2026");
  EXPECT_FALSE(IsWindowEnabled(vantle.Button(kMainButton)));
  EXPECT_TRUE(vantle.Shows(kCancelButton));
  vantle.Settle();
  const POINT main = ChildCentre(vantle.Window(), vantle.Button(kMainButton));
  EXPECT_EQ(ReadClientColour(vantle.Window(), POINT{40, main.y}), kTrack) << "disabled button";
  EXPECT_EQ(ReadClientColour(vantle.Window(), POINT{10, 150}), kBackground);
  SaveWindowScreenshot(vantle.Window(), L"prompt-en");

  // Busy: a drop and a start request change nothing.
  vantle.Drop({elsewhere});
  PostMessageW(vantle.Window(), WM_APP + 1, 0, 0);
  vantle.Settle();
  EXPECT_EQ(vantle.Caption(kMainButton), L"Working\u2026");

  const HWND field = GetDlgItem(run.prompt(), 10);
  SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"secret"));
  PostMessageW(run.prompt(), WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
  EXPECT_TRUE(fs::exists(work_ / "secret.txt"));
  EXPECT_FALSE(fs::exists(work_ / "elsewhere" / "dir"));
}

TEST_F(MainWindowTest, ConflictAskedInTheTaskDialogSkipKeepsTheFile) {
  const fs::path archive = CopyFixture("conflict.zip", work_);
  WriteBytes(work_ / "a.txt", "mine\n");
  Vantle vantle(program_, {L"--extract", archive.wstring()});
  HWND dialog = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (dialog = vantle.FindWindowOfClass(L"#32770")) != nullptr; }));
  EXPECT_EQ(vantle.Caption(kMainButton), L"Working\u2026");
  vantle.Settle();
  // The worker has passed the first entry: the bar has begun, in the accent
  // colour over the track; the main button waits in the track colour.
  EXPECT_EQ(ReadClientColour(vantle.Window(), POINT{30, 311}), kAccent) << "progress bar";
  const POINT main = ChildCentre(vantle.Window(), vantle.Button(kMainButton));
  EXPECT_EQ(ReadClientColour(vantle.Window(), POINT{40, main.y}), kTrack) << "disabled button";
  SaveWindowScreenshot(vantle.Window(), L"conflict-en");
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kConflictSkipId, BN_CLICKED), 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
  EXPECT_EQ(ReadBytes(work_ / "a.txt"), "mine\n");
  EXPECT_EQ(ReadBytes(work_ / "last.txt"), "last from archive\n");
}

TEST_F(MainWindowTest, CancelDuringARunStopsItAndTheWindowCloses) {
  const fs::path archive = CopyFixture("encrypted.zip", work_);
  PromptedRun run(program_, archive);
  Vantle& vantle = run.vantle();
  ASSERT_NE(run.prompt(), nullptr);
  vantle.Press(kCancelButton);
  vantle.Settle();
  EXPECT_EQ(vantle.Caption(kCancelButton), L"Stopping\u2026");
  EXPECT_FALSE(IsWindowEnabled(vantle.Button(kCancelButton)));
  // The language follows the flip, not the pressed state.
  vantle.Press(kLanguageButton);
  vantle.Settle();
  const bool dutch = vantle.Caption(kMainButton) == L"Bezig\u2026";
  EXPECT_EQ(vantle.Caption(kMainButton), dutch ? L"Bezig\u2026" : L"Working\u2026");
  EXPECT_EQ(vantle.Caption(kCancelButton), dutch ? L"Annuleren" : L"Cancel");
  SaveWindowScreenshot(vantle.Window(), dutch ? L"prompt-nl" : L"prompt-en-after-flip");

  PostMessageW(run.prompt(), WM_CLOSE, 0, 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
  EXPECT_FALSE(fs::exists(work_ / "secret.txt"));
}

TEST_F(MainWindowTest, ClosingDuringARunWaitsForTheRunToEnd) {
  const fs::path archive = CopyFixture("encrypted.zip", work_);
  PromptedRun run(program_, archive);
  Vantle& vantle = run.vantle();
  ASSERT_NE(run.prompt(), nullptr);
  PostMessageW(vantle.Window(), WM_CLOSE, 0, 0);
  vantle.Settle();
  EXPECT_TRUE(IsWindow(vantle.Window()));
  EXPECT_FALSE(vantle.HasEnded());
  PostMessageW(run.prompt(), WM_CLOSE, 0, 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
}

TEST_F(MainWindowTest, FailedJobOffersTryAgainWhichRunsTheSameInputs) {
  const fs::path archive = CopyFixture("damaged.zip", work_);
  Vantle vantle(program_, {L"--extract", archive.wstring()});
  ASSERT_TRUE(WaitFor([&] {
    return vantle.Caption(kMainButton) == L"Try again" ||
           vantle.Caption(kMainButton) == L"Opnieuw proberen";
  }));
  const bool dutch = vantle.Caption(kMainButton) == L"Opnieuw proberen";
  vantle.Settle();
  EXPECT_FALSE(vantle.Shows(kCancelButton));
  EXPECT_TRUE(IsWindowEnabled(vantle.Button(kMainButton)));
  HWND box = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (box = vantle.FindWindowOfClass(L"#32770")) != nullptr; }));
  EXPECT_EQ(WindowText(box),
            dutch ? L"Vantle \u00B7 niet voltooid" : L"Vantle \u00B7 could not finish");
  SaveWindowScreenshot(vantle.Window(), dutch ? L"failure-nl" : L"failure-en");
  ASSERT_TRUE(DismissMessageBox(vantle));
  vantle.Settle();
  ExpectIdlePalette(vantle);

  vantle.Press(kLanguageButton);
  vantle.Settle();
  // Idle again: the button reads the idle caption of the other language and
  // still starts the same run.
  EXPECT_EQ(vantle.Caption(kMainButton), dutch ? L"Extract here" : L"Hier uitpakken");

  // The same input again, with a fresh worker: it fails the same way.
  vantle.Press(kMainButton);
  const wchar_t* try_again = dutch ? L"Try again" : L"Opnieuw proberen";
  ASSERT_TRUE(WaitFor([&] { return vantle.Caption(kMainButton) == try_again; }));
  vantle.Settle();
  SaveWindowScreenshot(vantle.Window(), dutch ? L"failure-en" : L"failure-nl");
  ASSERT_TRUE(DismissMessageBox(vantle));
  EXPECT_FALSE(vantle.HasEnded());
  PostMessageW(vantle.Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
}

TEST_F(MainWindowTest, F11AndEscToggleTheMaximisedZoom) {
  Vantle vantle(program_, {});
  ASSERT_NE(vantle.Window(), nullptr);
  RECT restored{};
  GetWindowRect(vantle.Button(kMainButton), &restored);
  vantle.Key(VK_ESCAPE);
  vantle.Settle();
  EXPECT_FALSE(IsZoomed(vantle.Window())) << "Esc does nothing in a restored window";

  vantle.Key(VK_F11);
  ASSERT_TRUE(WaitFor([&] { return IsZoomed(vantle.Window()) != FALSE; }));
  vantle.Settle();
  RECT zoomed{};
  GetWindowRect(vantle.Button(kMainButton), &zoomed);
  // The whole content grows with the screen: the main button is taller.
  EXPECT_GT(zoomed.bottom - zoomed.top, restored.bottom - restored.top);
  EXPECT_EQ(ReadClientColour(vantle.Window(), POINT{10, 150}), kBackground);
  SaveWindowScreenshot(vantle.Window(), L"maximised-en");

  vantle.Key(VK_ESCAPE);
  ASSERT_TRUE(WaitFor([&] { return !IsZoomed(vantle.Window()); }));
  vantle.Press(kZoomButton);
  ASSERT_TRUE(WaitFor([&] { return IsZoomed(vantle.Window()) != FALSE; }));
  vantle.Key(VK_F11);
  ASSERT_TRUE(WaitFor([&] { return !IsZoomed(vantle.Window()); }));
  vantle.Settle();
  RECT back{};
  GetWindowRect(vantle.Button(kMainButton), &back);
  EXPECT_EQ(back.bottom - back.top, restored.bottom - restored.top);
  ExpectIdlePalette(vantle);
  PostMessageW(vantle.Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
}

TEST_F(MainWindowTest, MovingToA144DpiMonitorScalesTheLayout) {
  Vantle vantle(program_, {});
  ASSERT_NE(vantle.Window(), nullptr);
  RECT outer{};
  GetWindowRect(vantle.Window(), &outer);
  RECT before{};
  GetWindowRect(vantle.Button(kMainButton), &before);
  const RECT suggested{outer.left, outer.top, outer.left + (outer.right - outer.left) * 3 / 2,
                       outer.top + (outer.bottom - outer.top) * 3 / 2};
  vantle.ChangeDpi(144, suggested);
  ASSERT_TRUE(WaitFor([&] {
    RECT now{};
    GetWindowRect(vantle.Window(), &now);
    return now.right - now.left == suggested.right - suggested.left;
  }));
  vantle.Settle();
  RECT after{};
  GetWindowRect(vantle.Button(kMainButton), &after);
  EXPECT_EQ(before.bottom - before.top, 56);
  EXPECT_EQ(after.bottom - after.top, 84);
  const POINT main = ChildCentre(vantle.Window(), vantle.Button(kMainButton));
  EXPECT_EQ(ReadClientColour(vantle.Window(), POINT{60, main.y}), kAccent);
  EXPECT_EQ(ReadClientColour(vantle.Window(), POINT{450, 360}), kPanel) << "drop zone at 1.5";
  SaveWindowScreenshot(vantle.Window(), L"dpi-144-en");
  PostMessageW(vantle.Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(vantle.ExitCode(), 0u);
}

}  // namespace
}  // namespace cindral::testing
