#include "broker/broker_run.h"

#include <windows.h>

#include "broker/broker_error.h"
#include "broker/broker_log.h"
#include "common/default_apps.h"

namespace cindral::broker {
namespace {

constexpr int kInstallFailure = 1603;  // ERROR_INSTALL_FAILURE

struct Switch {
  const wchar_t* name;
  size_t argument_count;
  Operation operation;
};

// Tried in this order; "--rollback" is handled beside "--uninstall".
constexpr Switch kSwitches[] = {
    {L"--register-external", 4, Operation::RegisterExternal},
    {L"--remove-external", 3, Operation::RemoveExternal},
    {L"--check-external", 3, Operation::CheckExternal},
    {L"--install", 3, Operation::Install},
    {L"--uninstall", 2, Operation::Uninstall},
    {L"--rollback", 2, Operation::Rollback},
    {L"--check", 2, Operation::Check},
    {L"--defaults", 2, Operation::Defaults},
};

void OpenDefaultAppsPage(PackageStore& store, BrokerHost& host) {
  const std::vector<std::unique_ptr<RegisteredPackage>> packages = store.FindIdentityPackages();
  if (packages.empty()) return;
  host.WatchDefaultAppsSettings(DefaultAppsAddress(packages.front()->FamilyName()));
}

void RunOperation(const std::vector<std::wstring>& arguments, PackageStore& store,
                  BrokerHost& host) {
  switch (ChooseOperation(arguments)) {
    case Operation::RegisterExternal:
      return RegisterExternal(store, arguments[2], arguments[3]);
    case Operation::RemoveExternal:
      return RemoveExternal(store, arguments[2]);
    case Operation::CheckExternal:
      CheckExternal(store, arguments[2]);
      return host.Log(L"Read-only external identity query succeeded");
    case Operation::Install:
      return InstallPackage(store, arguments[2]);
    case Operation::Uninstall:
      return UninstallIdentity(store);
    case Operation::Rollback:
      return RollBackIdentity(store);
    case Operation::Check:
      CheckIdentity(store);
      return host.Log(L"Read-only package query succeeded");
    case Operation::Defaults:
      return OpenDefaultAppsPage(store, host);
    case Operation::Invalid:
      break;
  }
  Refuse(L"Invalid installer operation.");
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (const char* c = text; *c; ++c) wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  return wide;
}

}  // namespace

Operation ChooseOperation(const std::vector<std::wstring>& arguments) {
  if (arguments.size() < 2) return Operation::Invalid;
  for (const Switch& known : kSwitches)
    if (arguments[1] == known.name)
      return arguments.size() == known.argument_count ? known.operation : Operation::Invalid;
  return Operation::Invalid;
}

bool IsRollbackRun(const std::vector<std::wstring>& arguments) {
  return arguments.size() >= 2 && arguments[1] == L"--rollback";
}

std::wstring DefaultAppsAddress(const std::wstring& family_name) {
  return L"ms-settings:defaultapps?registeredAUMID=" + family_name + L"%21" + kIdentityApplication;
}

int RunBroker(BrokerHost& host) {
  host.Log(L"Broker started");
  bool rollback = false;
  try {
    const std::vector<std::wstring> arguments = host.ReadArguments();
    rollback = IsRollbackRun(arguments);
    host.EnterApartment();
    // Made for every run, an invalid command line's included.
    std::unique_ptr<PackageStore> store = host.CreatePackageStore();
    RunOperation(arguments, *store, host);
    host.Log(L"Operation succeeded");
    host.NotifyAssociationsChanged();
    host.Log(L"Returning success");
    store.reset();
    host.Log(L"COM objects released");
    host.LeaveApartment();
    host.Log(L"Apartment closed");
    return 0;
  } catch (const BrokerError& error) {
    const DWORD code = static_cast<DWORD>(error.Code());
    host.Log(FormatErrorCode(L"WinRT error 0x%08X", code, 100));
    if (!rollback)
      host.ShowError(error.MessageText() + FormatErrorCode(L"\nWindows: 0x%08X", code, 32),
                     L"Vantle installatie / installation");
  } catch (const std::exception& error) {
    if (!rollback) host.ShowError(Widen(error.what()), L"Vantle");
  }
  return rollback ? 0 : kInstallFailure;
}

}  // namespace cindral::broker
