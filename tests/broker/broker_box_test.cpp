// The real broker on a display: a failing run shows its message box and
// waits for it, a rollback run shows nothing and ends by itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/command_line.h"
#include "common/win_owners.h"
#include "tests/e2e/process_runner.h"
#include "tests/gui/screenshot.h"
#include "tests/wine_support.h"

namespace cindral::broker {
namespace {

struct Started {
  UniqueHandle process;
  DWORD id = 0;
};

Started StartBroker(const std::wstring& arguments) {
  const std::wstring program =
      (cindral::testing::DistFolder() / L"Vantle.Integration.exe").wstring();
  std::wstring command_line = QuoteCommandLineArgument(program) + L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start the broker: error " << GetLastError();
    return {};
  }
  CloseHandle(process.hThread);
  return {UniqueHandle(process.hProcess), process.dwProcessId};
}

struct Search {
  DWORD process_id;
  HWND found;
};

// The process's message box, waited for while the process lives.
HWND FindBox(const Started& broker) {
  for (int pass = 0; pass < 600; ++pass) {
    Search search{broker.id, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
          auto* search = reinterpret_cast<Search*>(parameter);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          wchar_t class_name[16] = {};
          GetClassNameW(window, class_name, 16);
          if (owner != search->process_id || std::wstring(class_name) != L"#32770" ||
              !IsWindowVisible(window))
            return TRUE;
          search->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    if (WaitForSingleObject(broker.process.Get(), 50) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

DWORD ExitCodeAfter(const Started& broker, DWORD timeout_ms) {
  if (WaitForSingleObject(broker.process.Get(), timeout_ms) != WAIT_OBJECT_0) {
    TerminateProcess(broker.process.Get(), 99);
    ADD_FAILURE() << "the broker did not end within " << timeout_ms << " ms";
    return ~DWORD{0};
  }
  DWORD exit_code = 0;
  GetExitCodeProcess(broker.process.Get(), &exit_code);
  return exit_code;
}

TEST(BrokerBox, AFailedRunShowsItsErrorAndWaitsForIt) {
  for (const wchar_t* arguments : {L"", L"--check extra"}) {
    const Started broker = StartBroker(arguments);
    ASSERT_TRUE(broker.process);
    const HWND box = FindBox(broker);
    ASSERT_NE(box, nullptr) << "no message box for \"" << arguments << "\"";
    EXPECT_EQ(TextOf(box), L"Vantle installatie / installation");
    const std::wstring message = TextOf(GetDlgItem(box, 0xFFFF));
    // Under Wine the package manager's activation fails before the command
    // line is judged, and Wine has no text for that code.
    EXPECT_EQ(message, cindral::testing::RunsUnderWine()
                           ? L"\nWindows: 0x80040154"
                           : L"Invalid installer operation.\nWindows: 0x80070057");
    if (*arguments == L'\0') {
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
  for (const wchar_t* arguments : {L"--rollback", L"--rollback extra"}) {
    const Started broker = StartBroker(arguments);
    ASSERT_TRUE(broker.process);
    EXPECT_EQ(FindBox(broker), nullptr) << arguments;
    EXPECT_EQ(ExitCodeAfter(broker, 30000), 0u) << arguments;
  }
}

}  // namespace
}  // namespace cindral::broker
