// Process start-up: every role begins here, and every failure that escapes a
// role ends here, in one error box and exit code 1.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <exception>
#include <string>
#include <vector>

#include "app/entry/command_line_grammar.h"
#include "app/entry/roles.h"
#include "common/utf8.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

std::vector<std::wstring> SplitCommandLine(LocalMemory<LPWSTR>& owner) {
  int count = 0;
  owner.Reset(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::wstring> arguments;
  for (int index = 0; owner && index < count; ++index) arguments.emplace_back(owner.Get()[index]);
  return arguments;
}

int RunRole() {
  LocalMemory<LPWSTR> argument_array;
  const std::vector<std::wstring> arguments = SplitCommandLine(argument_array);
  const LaunchChoice choice = ChooseLaunch(arguments);
  // The roles copy what they need: the array is released before any of them
  // runs, which covers every path that returns normally.
  argument_array.Reset();

  int exit_code = 0;
  switch (choice.role) {
    case Role::kDefaultApps:
      exit_code = RunDefaultAppsRole();
      break;
    case Role::kWorker:
      exit_code = RunWorkerRole(choice);
      break;
    case Role::kHeadless:
      exit_code = RunHeadlessRole(choice);
      break;
    case Role::kInterface:
      exit_code = RunInterfaceRole(choice);
      break;
  }
  return exit_code;
}

}  // namespace
}  // namespace cindral

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const cindral::ComApartment apartment = cindral::EnterComApartment(COINIT_APARTMENTTHREADED);
  try {
    return cindral::RunRole();
  } catch (const std::exception& failure) {
    const std::wstring text = cindral::WideFromUtf8(failure.what());
    MessageBoxW(nullptr, text.c_str(), L"Vantle", MB_ICONERROR);
    return 1;
  }
}
