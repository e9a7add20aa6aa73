// The bodies of the program's roles; each returns the process's exit code
// and lets failures escape to the one handler at the top.
#pragma once

#include "app/entry/command_line_grammar.h"

namespace cindral {

int RunDefaultAppsRole();
int RunWorkerRole(const LaunchChoice& choice);
int RunHeadlessRole(const LaunchChoice& choice);
int RunInterfaceRole(const LaunchChoice& choice);

// The interface's selection, read from a request file or the arguments and
// made absolute where the command line gave it.
struct InterfaceInputs {
  bool pack = false;
  std::vector<std::wstring> paths;
};
InterfaceInputs PrepareInterfaceInputs(const LaunchChoice& choice);

}  // namespace cindral
