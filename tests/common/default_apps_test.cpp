// The association check against the prefix's registry, and the watch's
// decisions pass by pass. The watch over a real Settings window is in
// default_apps_watch_test.cpp, on a virtual display.
#include "common/default_apps.h"

#include <gtest/gtest.h>

#include <string>

#include "common/win_owners.h"

namespace cindral {
namespace {

// Sets the current user's ProgID for an extension, the way an association
// made on the Settings page shows to AssocQueryStringW; restores on exit.
class UserProgIds {
 public:
  ~UserProgIds() {
    for (const wchar_t* extension : {L".zip", L".7z"}) {
      RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Classes\\") + extension).c_str());
    }
  }
  void Set(const wchar_t* extension, const wchar_t* prog_id) {
    UniqueRegistryKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER,
                              (std::wstring(L"Software\\Classes\\") + extension).c_str(), 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    const DWORD bytes = static_cast<DWORD>((wcslen(prog_id) + 1) * sizeof(wchar_t));
    ASSERT_EQ(RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(prog_id),
                             bytes),
              ERROR_SUCCESS);
  }
};

TEST(IsAcceptedProgId, EachExtensionHasItsOwnProgIdAndBothTheApplication) {
  EXPECT_TRUE(IsAcceptedProgId(L".zip", L"Cindral.Zip"));
  EXPECT_TRUE(IsAcceptedProgId(L".zip", L"CINDRAL.ZIP"));
  EXPECT_TRUE(IsAcceptedProgId(L".7z", L"cindral.sevenzip"));
  EXPECT_TRUE(IsAcceptedProgId(L".zip", L"Applications\\Vantle.exe"));
  EXPECT_TRUE(IsAcceptedProgId(L".7z", L"APPLICATIONS\\VANTLE.EXE"));
  EXPECT_FALSE(IsAcceptedProgId(L".zip", L"Cindral.SevenZip"));
  EXPECT_FALSE(IsAcceptedProgId(L".7z", L"Cindral.Zip"));
  EXPECT_FALSE(IsAcceptedProgId(L".zip", L"Cindral.Zip2"));
  EXPECT_FALSE(IsAcceptedProgId(L".zip", L"CompressedFolder"));
  EXPECT_FALSE(IsAcceptedProgId(L".zip", L""));
  EXPECT_FALSE(IsAcceptedProgId(L".7z", L"Applications\\Vantle.exe "));
}

// One test, since every step rewrites the same keys of the shared prefix.
// Without a resolved ProgID the answer must be no, wherever it runs.
TEST(IsDefaultArchiver, ReadsTheUsersProgIdsInAnyLetterCase) {
  UserProgIds prog_ids;
  prog_ids.Set(L".zip", L"CompressedFolder");
  EXPECT_FALSE(IsDefaultArchiver());
  prog_ids.Set(L".zip", L"CINDRAL.ZIP");
  prog_ids.Set(L".7z", L"applications\\vantle.exe");
  if (QueryProgId(L".zip").empty()) {
    GTEST_SKIP() << "the shell resolves no ProgID here: Wine's AssocQueryStringW leaves "
                    "ASSOCSTR_PROGID unimplemented (and on Windows a UserChoice would win)";
  }
  EXPECT_EQ(QueryProgId(L".zip"), L"CINDRAL.ZIP");
  EXPECT_EQ(QueryProgId(L".7z"), L"applications\\vantle.exe");
  EXPECT_TRUE(IsDefaultArchiver());

  prog_ids.Set(L".7z", L"Cindral.SevenZip");
  EXPECT_TRUE(IsDefaultArchiver());

  prog_ids.Set(L".7z", L"7-Zip.7z");
  EXPECT_FALSE(IsDefaultArchiver());

  prog_ids.Set(L".7z", L"Cindral.SevenZip");
  prog_ids.Set(L".zip", L"CompressedFolder");
  EXPECT_FALSE(IsDefaultArchiver());

  prog_ids.Set(L".zip", L"Cindral.SevenZip");
  EXPECT_FALSE(IsDefaultArchiver());
}

TEST(QueryProgId, UnknownExtensionGivesEmptyText) {
  EXPECT_EQ(QueryProgId(L".cindral-never-registered"), L"");
}

TEST(IsSettingsWindow, RefusesWhatIsNoVisibleSettingsWindow) {
  EXPECT_FALSE(IsSettingsWindow(nullptr));
  EXPECT_FALSE(IsSettingsWindow(reinterpret_cast<HWND>(0x1234)));
  // Windows of other processes are checked on a display, in
  // default_apps_watch_test.cpp.
}

TEST(WatchDefaultAppsSettings, OpensNothingForAForeignAddress) {
  const ULONGLONG start = GetTickCount64();
  WatchDefaultAppsSettings(L"ms-settings:about", DefaultCheck::kSkip);
  WatchDefaultAppsSettings(L"https://example.invalid/", DefaultCheck::kSkip);
  EXPECT_LT(GetTickCount64() - start, 5000u) << "the watch began instead of refusing";
}

// The watch's decisions pass by pass, at the ticks a 500 ms pause gives.
class WatchPasses : public ::testing::Test {
 protected:
  static constexpr uint64_t kStart = 1000000;
  WatchAction Pass(uint64_t after_start, bool window_seen, bool is_default) {
    return DecideWatchPass(watch_, kStart + after_start, window_seen, is_default);
  }
  void SetUp() override { watch_.start = kStart; }
  SettingsWatch watch_;
};

TEST_F(WatchPasses, GivesUpAfterThirtySecondsWithoutAWindow) {
  for (uint64_t now = 0; now <= 30000; now += 500) {
    ASSERT_EQ(Pass(now, false, true), WatchAction::kWait) << now;
  }
  EXPECT_EQ(Pass(30001, false, true), WatchAction::kEnd);
}

TEST_F(WatchPasses, GivesTwoSecondsThenClosesOnceBothHeldOverASecond) {
  EXPECT_EQ(Pass(3000, true, true), WatchAction::kWait);  // found now
  EXPECT_EQ(watch_.found_at, kStart + 3000);
  EXPECT_EQ(Pass(4999, true, true), WatchAction::kWait);  // still within two seconds
  EXPECT_EQ(watch_.default_since, 0u);
  EXPECT_EQ(Pass(5000, true, true), WatchAction::kWait);  // count starts
  EXPECT_EQ(Pass(5999, true, true), WatchAction::kWait);  // 999 is not over 999
  EXPECT_EQ(Pass(6000, true, true), WatchAction::kClose);
  EXPECT_TRUE(watch_.closing);
  // After the request: wait for the window to go, at most five seconds.
  EXPECT_EQ(Pass(6500, true, true), WatchAction::kWait);
  EXPECT_EQ(Pass(11000, true, true), WatchAction::kWait);
  EXPECT_EQ(Pass(11001, true, true), WatchAction::kEnd);
}

TEST_F(WatchPasses, SwitchingBackRestartsTheCount) {
  Pass(0, true, false);
  EXPECT_EQ(Pass(2000, true, true), WatchAction::kWait);
  EXPECT_EQ(Pass(2500, true, false), WatchAction::kWait);
  EXPECT_EQ(watch_.default_since, 0u);
  EXPECT_EQ(Pass(3000, true, true), WatchAction::kWait);
  EXPECT_EQ(Pass(3500, true, true), WatchAction::kWait);  // 1500 since the first count
  EXPECT_EQ(Pass(4000, true, true), WatchAction::kClose);
}

TEST_F(WatchPasses, EndsWhenTheWindowGoesAwayOrTimeRunsOut) {
  Pass(0, true, false);
  EXPECT_EQ(Pass(500, false, false), WatchAction::kEnd);

  SettingsWatch lasting;
  lasting.start = kStart;
  EXPECT_EQ(DecideWatchPass(lasting, kStart, true, false), WatchAction::kWait);
  EXPECT_EQ(DecideWatchPass(lasting, kStart + 299999, true, false), WatchAction::kWait);
  EXPECT_EQ(DecideWatchPass(lasting, kStart + 300000, true, true), WatchAction::kEnd);
}

}  // namespace
}  // namespace cindral
