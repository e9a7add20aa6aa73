#include "tests/e2e/process_runner.h"

#include <gtest/gtest.h>

#include "common/command_line.h"
#include "common/win_owners.h"
#include "tests/wine_support.h"

namespace cindral::testing {

std::filesystem::path DistFolder() { return ThisProgram().parent_path().parent_path() / "dist"; }

StartedProgram StartProgram(const std::filesystem::path& program,
                            const std::vector<std::wstring>& arguments,
                            const std::filesystem::path& folder) {
  std::wstring command_line = QuoteCommandLineArgument(program.wstring());
  for (const std::wstring& argument : arguments)
    command_line += L" " + QuoteCommandLineArgument(argument);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
    return {};
  }
  CloseHandle(process.hThread);
  return {UniqueHandle(process.hProcess), process.dwProcessId};
}

DWORD ExitCodeAfter(const StartedProgram& started, DWORD timeout_ms) {
  if (WaitForSingleObject(started.process.Get(), timeout_ms) != WAIT_OBJECT_0) {
    TerminateProcess(started.process.Get(), 99);
    ADD_FAILURE() << "process " << started.id << " did not end within " << timeout_ms << " ms";
    return ~DWORD{0};
  }
  DWORD exit_code = 0;
  GetExitCodeProcess(started.process.Get(), &exit_code);
  return exit_code;
}

DWORD RunProgram(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                 DWORD timeout_ms, DWORD* process_id) {
  const StartedProgram started = StartProgram(program, arguments);
  if (!started.process) return ~DWORD{0};
  if (process_id) *process_id = started.id;
  return ExitCodeAfter(started, timeout_ms);
}

}  // namespace cindral::testing
