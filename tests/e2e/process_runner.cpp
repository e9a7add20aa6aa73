#include "tests/e2e/process_runner.h"

#include <gtest/gtest.h>

#include "common/command_line.h"
#include "common/win_owners.h"

namespace cindral::testing {

std::filesystem::path DistFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path().parent_path() / "dist";
}

DWORD RunProgram(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                 DWORD timeout_ms, DWORD* process_id) {
  std::wstring command_line = QuoteCommandLineArgument(program.wstring());
  for (const std::wstring& argument : arguments)
    command_line += L" " + QuoteCommandLineArgument(argument);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
    return ~DWORD{0};
  }
  if (process_id) *process_id = process.dwProcessId;
  UniqueHandle process_handle(process.hProcess);
  UniqueHandle thread_handle(process.hThread);
  if (WaitForSingleObject(process_handle.Get(), timeout_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process_handle.Get(), 99);
    ADD_FAILURE() << program << " did not end within " << timeout_ms << " ms";
    return ~DWORD{0};
  }
  DWORD exit_code = 0;
  GetExitCodeProcess(process_handle.Get(), &exit_code);
  return exit_code;
}

}  // namespace cindral::testing
