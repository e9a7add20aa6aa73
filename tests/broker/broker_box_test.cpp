// The real broker on a display: a failing run shows its message box and
// waits for it, a rollback run shows nothing and ends by itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/win_owners.h"
#include "tests/e2e/process_runner.h"
#include "tests/gui/screenshot.h"
#include "tests/wine_support.h"

namespace cindral::broker {
namespace {

using cindral::testing::ExitCodeAfter;
using cindral::testing::StartedProgram;

StartedProgram StartBroker(const std::vector<std::wstring>& arguments) {
  return cindral::testing::StartProgram(cindral::testing::DistFolder() / L"Vantle.Integration.exe",
                                        arguments);
}

// The process's message box, waited for while the process lives.
HWND FindBox(const StartedProgram& broker) {
  for (int pass = 0; pass < 600; ++pass) {
    if (const HWND box = cindral::testing::FindVisibleWindow(broker.id, L"#32770")) return box;
    if (WaitForSingleObject(broker.process.Get(), 50) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

TEST(BrokerBox, AFailedRunShowsItsErrorAndWaitsForIt) {
  for (const std::vector<std::wstring>& arguments :
       {std::vector<std::wstring>{}, std::vector<std::wstring>{L"--check", L"extra"}}) {
    const StartedProgram broker = StartBroker(arguments);
    ASSERT_TRUE(broker.process);
    const HWND box = FindBox(broker);
    ASSERT_NE(box, nullptr) << "no message box for " << ::testing::PrintToString(arguments);
    EXPECT_EQ(cindral::testing::WindowText(box), L"Vantle installatie / installation");
    const std::wstring message = cindral::testing::WindowText(GetDlgItem(box, 0xFFFF));
    // Under Wine the package manager's activation fails before the command
    // line is judged, and Wine has no text for that code.
    EXPECT_EQ(message, cindral::testing::RunsUnderWine()
                           ? L"\nWindows: 0x80040154"
                           : L"Invalid installer operation.\nWindows: 0x80070057");
    if (arguments.empty()) {
      cindral::testing::PumpMessagesFor(500);  // for the box to paint its text
      cindral::testing::SaveWindowScreenshot(box, L"broker_error_box");
    }
    // Still waiting for the user.
    EXPECT_EQ(WaitForSingleObject(broker.process.Get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    const HWND ok = FindWindowExW(box, nullptr, L"Button", nullptr);
    ASSERT_NE(ok, nullptr);
    SendMessageW(ok, BM_CLICK, 0, 0);
    EXPECT_EQ(ExitCodeAfter(broker, 30000), 1603u);
  }
}

TEST(BrokerBox, ARollbackRunShowsNothing) {
  // A box would wait for an answer on this display; the run must end alone.
  for (const std::vector<std::wstring>& arguments :
       {std::vector<std::wstring>{L"--rollback"},
        std::vector<std::wstring>{L"--rollback", L"extra"}}) {
    const StartedProgram broker = StartBroker(arguments);
    ASSERT_TRUE(broker.process);
    EXPECT_EQ(FindBox(broker), nullptr) << ::testing::PrintToString(arguments);
    EXPECT_EQ(ExitCodeAfter(broker, 30000), 0u) << ::testing::PrintToString(arguments);
  }
}

}  // namespace
}  // namespace cindral::broker
