// One run of the broker: its command line, the one operation it chooses, and
// the two endings with their log lines, message boxes and exit codes. What
// touches the system (log file, apartment, package manager, message boxes,
// the shell, the Settings watch) goes through BrokerHost.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "broker/package_registration.h"

namespace cindral::broker {

enum class Operation {
  RegisterExternal,
  RemoveExternal,
  CheckExternal,
  Install,
  Uninstall,
  Rollback,
  Check,
  Defaults,
  Invalid,
};

// The operation a command line asks for (the program name included, switches
// case-sensitive, each with its exact argument count).
Operation ChooseOperation(const std::vector<std::wstring>& arguments);

// A rollback run shows nothing and never fails the installer, whatever else
// its command line says.
bool IsRollbackRun(const std::vector<std::wstring>& arguments);

// The default-apps page for the application "Cindral" of a package family.
std::wstring DefaultAppsAddress(const std::wstring& family_name);

class BrokerHost {
 public:
  virtual ~BrokerHost() = default;
  virtual void Log(const std::wstring& message) = 0;
  // The command line split into arguments, the program name first.
  virtual std::vector<std::wstring> ReadArguments() = 0;
  virtual void EnterApartment() = 0;
  virtual std::unique_ptr<PackageStore> CreatePackageStore() = 0;
  virtual void NotifyAssociationsChanged() = 0;
  virtual void LeaveApartment() = 0;
  virtual void ShowError(const std::wstring& text, const std::wstring& caption) = 0;
  virtual void WatchDefaultAppsSettings(const std::wstring& address) = 0;
};

// Runs the broker and returns its exit code: 0, or 1603 on failure (0 again
// in a rollback run).
int RunBroker(BrokerHost& host);

}  // namespace cindral::broker
