// The program's command line: which role a process plays and with what.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cindral {

enum class Role { kDefaultApps, kWorker, kHeadless, kInterface };

// Where the interface's selection comes from.
enum class InterfaceSelection {
  kRequestFile,  // "--request" file: read, then deleted
  kArguments,    // "--extract" / "--pack" followed by paths
  kPreload,      // plain archive paths, the window waits for the user
};

struct LaunchChoice {
  Role role = Role::kInterface;
  // Worker: the request file, the shared-state mapping and the thread count.
  std::wstring request_path;
  std::wstring mapping_name;
  uint32_t thread_count = 1;
  // Headless runner and interface.
  bool pack = false;
  // Headless: the paths as given. Interface: the paths still to be made
  // absolute (kArguments: all of them; kPreload: the archive names only).
  std::vector<std::wstring> paths;
  InterfaceSelection selection = InterfaceSelection::kPreload;
  bool start_at_once = false;
};

// arguments: the whole argument vector, program path first. Switches are
// recognised only as the first real argument and only when they match
// exactly, case included; a form whose argument count is not met gives way
// to the next.
LaunchChoice ChooseLaunch(const std::vector<std::wstring>& arguments);

// Decimal with leading white space and one sign allowed, stopping at the
// first non-digit; no digits read as 0, and anything below 1 counts as 1.
uint32_t ParseThreadCount(const std::wstring& text);

}  // namespace cindral
