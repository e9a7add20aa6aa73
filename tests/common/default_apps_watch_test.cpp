// The watch over a real window on a virtual display. A stand-in program named
// SystemSettings.exe is registered as the handler of "ms-settings:" in the
// test prefix. Wine's AssocQueryStringW cannot resolve a ProgID (it answers
// "assocstr 20 unimplemented"), so the watch is handed the test's own record
// of the associations the "user" has made; the ProgID query itself is tested
// in default_apps_test.cpp.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "common/default_apps.h"
#include "common/win_owners.h"
#include "tests/e2e/process_runner.h"
#include "tests/gui/screenshot.h"
#include "tests/wine_support.h"

namespace cindral {
namespace {

std::filesystem::path TestProgramFolder() { return testing::ThisProgram().parent_path(); }

// Under HKEY_CLASSES_ROOT, since Wine's ShellExecuteW does not look into the
// current user's classes for an address's protocol.
void SetDefaultValue(const std::wstring& key_path, const std::wstring& value) {
  UniqueRegistryKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, key.Put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(
      RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
      ERROR_SUCCESS);
}

enum class SettingsShows { kWindow, kNothing };

// The associations the user has made on the page so far.
std::atomic<bool> zip_associated = false;
std::atomic<bool> seven_zip_associated = false;
bool BothAssociated() { return zip_associated && seven_zip_associated; }

// One watch's world: a record folder, the stand-in registered as the
// Settings application, and the user's ProgIDs; all removed afterwards.
class DefaultAppsWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    records_ = std::filesystem::temp_directory_path() /
               (L"cindral-watch-" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::remove_all(records_);
    std::filesystem::create_directories(records_);
    ClearAssociations();
  }
  void TearDown() override {
    if (const HWND window = FindWindowW(L"Cindral.TestSettings", nullptr)) {
      PostMessageW(window, WM_CLOSE, 0, 0);
    }
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"ms-settings");
    ClearAssociations();
    std::error_code ignored;
    std::filesystem::remove_all(records_, ignored);
  }

  void RegisterSettings(SettingsShows shows) {
    const std::wstring program =
        (TestProgramFolder() / L"fake-settings" / L"SystemSettings.exe").wstring();
    ASSERT_TRUE(std::filesystem::exists(program));
    SetDefaultValue(L"ms-settings", L"URL:ms-settings");
    UniqueRegistryKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"ms-settings", 0, KEY_SET_VALUE, key.Put()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.Get(), L"URL Protocol", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t)),
              ERROR_SUCCESS);
    SetDefaultValue(L"ms-settings\\shell\\open\\command",
                    L"\"" + program + L"\" \"" + records_.wstring() + L"\" " +
                        (shows == SettingsShows::kWindow ? L"window" : L"none") + L" \"%1\"");
  }

  static void ClearAssociations() {
    zip_associated = false;
    seven_zip_associated = false;
  }

  bool Recorded(const wchar_t* name) const { return std::filesystem::exists(records_ / name); }

  // The record's text once it can be read; empty after the time is up. A
  // record seen by its name has once been read back empty under Wine, so
  // the wait is for its text.
  std::wstring WaitForRecord(const wchar_t* name, DWORD milliseconds) const {
    for (DWORD waited = 0;; waited += 20) {
      std::wifstream stream(records_ / name);
      std::wstring text;
      std::getline(stream, text);
      if (!text.empty() || waited >= milliseconds) return text;
      Sleep(20);
    }
  }
  uint64_t WaitForTick(const wchar_t* name, DWORD milliseconds) const {
    const std::wstring text = WaitForRecord(name, milliseconds);
    return text.empty() ? 0 : std::stoull(text);
  }

  std::filesystem::path records_;
};

// Runs the watch on a thread of its own, as the program's role runs it on its
// main thread, and notes when it returned.
class WatchThread {
 public:
  explicit WatchThread(DefaultCheck check)
      : thread_([this, check] {
          const ComApartment apartment = EnterComApartment(COINIT_APARTMENTTHREADED);
          WatchDefaultAppsSettings(kDefaultAppsAddress, check, BothAssociated);
          InterlockedExchange64(&ended_at_, static_cast<LONG64>(GetTickCount64()));
        }) {}
  ~WatchThread() { thread_.join(); }

  // The tick the watch returned at, waiting at most the given time; 0 if
  // it still runs.
  uint64_t WaitForEnd(DWORD milliseconds) {
    for (DWORD waited = 0; waited < milliseconds; waited += 20) {
      if (const LONG64 ended = InterlockedCompareExchange64(&ended_at_, 0, 0)) return ended;
      Sleep(20);
    }
    return static_cast<uint64_t>(InterlockedCompareExchange64(&ended_at_, 0, 0));
  }

 private:
  volatile LONG64 ended_at_ = 0;
  std::thread thread_;
};

// The role through the shipped program: it opens the page for the package's
// application and ends, with 0, once the user has closed it. (That it closes
// the page itself needs the ProgIDs resolved, which Wine cannot do.)
TEST_F(DefaultAppsWatch, VantleOpensThePageAndEndsWithIt) {
  RegisterSettings(SettingsShows::kWindow);
  const std::filesystem::path vantle = TestProgramFolder().parent_path() / "dist" / "Vantle.exe";
  const testing::StartedProgram started = testing::StartProgram(vantle, {L"--defaults"});
  ASSERT_TRUE(started.process);
  const UniqueHandle& process = started.process;

  ASSERT_NE(WaitForTick(L"shown.txt", 30000), 0u) << "the page never showed";
  EXPECT_EQ(WaitForRecord(L"opened.txt", 0), std::wstring(kDefaultAppsAddress));
  const HWND page = FindWindowW(L"Cindral.TestSettings", nullptr);
  ASSERT_NE(page, nullptr);
  testing::PumpMessagesFor(300);
  testing::SaveWindowScreenshot(page, L"default_apps_settings_page");

  // Still watching while the page is up.
  EXPECT_EQ(WaitForSingleObject(process.Get(), 3000), static_cast<DWORD>(WAIT_TIMEOUT));
  PostMessageW(page, WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
  DWORD exit_code = 99;
  GetExitCodeProcess(process.Get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);
}

TEST_F(DefaultAppsWatch, KnowsTheSettingsWindowByItsProcessImage) {
  RegisterSettings(SettingsShows::kWindow);
  ASSERT_GT(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", kDefaultAppsAddress.data(),
                                                    nullptr, nullptr, SW_SHOWNORMAL)),
            32);
  ASSERT_NE(WaitForTick(L"shown.txt", 30000), 0u);
  const HWND page = FindWindowW(L"Cindral.TestSettings", nullptr);
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(IsSettingsWindow(page));

  // A visible window of this process, which is not SystemSettings.exe.
  const HWND own = CreateWindowExW(0, L"STATIC", L"Settings", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 600,
                                   40, 200, 100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(own, nullptr);
  EXPECT_FALSE(IsSettingsWindow(own));
  ShowWindow(page, SW_HIDE);
  EXPECT_FALSE(IsSettingsWindow(page)) << "a hidden page counts";
  DestroyWindow(own);
}

TEST_F(DefaultAppsWatch, ClosesThePageAboutASecondAfterBothAreSet) {
  RegisterSettings(SettingsShows::kWindow);
  WatchThread watch(DefaultCheck::kFirst);
  const uint64_t shown = WaitForTick(L"shown.txt", 30000);
  ASSERT_NE(shown, 0u) << "the page never showed";

  Sleep(2500);
  zip_associated = true;
  Sleep(1500);
  EXPECT_FALSE(Recorded(L"closed.txt")) << "closed with one association only";
  seven_zip_associated = true;
  const uint64_t both_set = GetTickCount64();

  const uint64_t closed = WaitForTick(L"closed.txt", 10000);
  ASSERT_NE(closed, 0u) << "the page was never asked to close";
  EXPECT_GE(closed - both_set, 1000u);
  EXPECT_LE(closed - both_set, 2500u);
  const uint64_t ended = watch.WaitForEnd(10000);
  ASSERT_NE(ended, 0u) << "the watch went on after the page closed";
  EXPECT_LE(ended - closed, 2000u);
}

TEST_F(DefaultAppsWatch, OpensNothingWhenAlreadyTheDefault) {
  RegisterSettings(SettingsShows::kWindow);
  zip_associated = true;
  seven_zip_associated = true;
  const uint64_t start = GetTickCount64();
  WatchThread watch(DefaultCheck::kFirst);
  EXPECT_NE(watch.WaitForEnd(5000), 0u);
  EXPECT_LT(GetTickCount64() - start, 5000u);
  EXPECT_FALSE(Recorded(L"opened.txt"));
}

// The broker's way in: the page opens although both are already set, and
// the user still gets two seconds with it.
TEST_F(DefaultAppsWatch, NeverClosesWithinTwoSecondsOfFindingThePage) {
  RegisterSettings(SettingsShows::kWindow);
  zip_associated = true;
  seven_zip_associated = true;
  WatchThread watch(DefaultCheck::kSkip);
  const uint64_t shown = WaitForTick(L"shown.txt", 30000);
  ASSERT_NE(shown, 0u);
  const uint64_t closed = WaitForTick(L"closed.txt", 15000);
  ASSERT_NE(closed, 0u);
  EXPECT_GE(closed - shown, 2000u);
  EXPECT_NE(watch.WaitForEnd(10000), 0u);
}

TEST_F(DefaultAppsWatch, SwitchingOneBackRestartsTheSecond) {
  RegisterSettings(SettingsShows::kWindow);
  WatchThread watch(DefaultCheck::kFirst);
  ASSERT_NE(WaitForTick(L"shown.txt", 30000), 0u);
  Sleep(2500);

  zip_associated = true;
  seven_zip_associated = true;
  const uint64_t first_set = GetTickCount64();
  // Held longer than one pass, so the watch sees it, and switched back well
  // before the second is up.
  Sleep(600);
  seven_zip_associated = false;
  const uint64_t switched_back = GetTickCount64();
  if (switched_back - first_set >= 1000) {
    GTEST_SKIP() << "the machine took " << switched_back - first_set
                 << " ms to switch back: the watch may rightly have closed the page";
  }
  Sleep(1500);
  EXPECT_FALSE(Recorded(L"closed.txt")) << "closed although one association was switched back";

  seven_zip_associated = true;
  const uint64_t set_again = GetTickCount64();
  const uint64_t closed = WaitForTick(L"closed.txt", 10000);
  ASSERT_NE(closed, 0u);
  EXPECT_GE(closed - set_again, 1000u) << "the count went on from before the switch";
  EXPECT_NE(watch.WaitForEnd(10000), 0u);
}

TEST_F(DefaultAppsWatch, EndsWhenTheUserClosesThePage) {
  RegisterSettings(SettingsShows::kWindow);
  WatchThread watch(DefaultCheck::kFirst);
  ASSERT_NE(WaitForTick(L"shown.txt", 30000), 0u);
  const HWND page = FindWindowW(L"Cindral.TestSettings", nullptr);
  ASSERT_NE(page, nullptr);
  // Closed before the watch's next pass, the page would never have been
  // found and the watch would rightly wait its thirty seconds: give it the
  // grace time, over four passes.
  Sleep(2500);
  PostMessageW(page, WM_CLOSE, 0, 0);
  const uint64_t closed = WaitForTick(L"closed.txt", 10000);
  ASSERT_NE(closed, 0u);
  const uint64_t ended = watch.WaitForEnd(10000);
  ASSERT_NE(ended, 0u) << "the watch went on without its window";
  EXPECT_LE(ended - closed, 2000u);
}

// Runs once and takes half a minute: nothing shortens the product's wait.
TEST_F(DefaultAppsWatch, GivesUpAfterThirtySecondsWithoutAPage) {
  RegisterSettings(SettingsShows::kNothing);
  const uint64_t start = GetTickCount64();
  WatchThread watch(DefaultCheck::kFirst);
  EXPECT_FALSE(WaitForRecord(L"opened.txt", 30000).empty()) << "the handler never ran";
  const uint64_t ended = watch.WaitForEnd(45000);
  ASSERT_NE(ended, 0u);
  EXPECT_GE(ended - start, 30000u);
  EXPECT_LE(ended - start, 33000u);
}

}  // namespace
}  // namespace cindral
