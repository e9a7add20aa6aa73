// Vantle.Integration.exe: the installer's broker for the package identity.
// Windowless; it reports through its log, its exit code and, outside a
// rollback, a message box.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "broker/broker_error.h"
#include "broker/broker_log.h"
#include "broker/broker_run.h"
#include "broker/windows_package_store.h"
#include "common/default_apps.h"
#include "common/win_owners.h"

namespace cindral::broker {
namespace {

// Logs the code and lets the system end the process its own way.
LONG WINAPI LogUnhandledException(EXCEPTION_POINTERS* exception) {
  LogMessage(FormatErrorCode(L"Unhandled exception 0x%08X",
                             exception->ExceptionRecord->ExceptionCode, 100));
  return EXCEPTION_CONTINUE_SEARCH;
}

class WindowsBrokerHost : public BrokerHost {
 public:
  void Log(const std::wstring& message) override { LogMessage(message); }

  std::vector<std::wstring> ReadArguments() override {
    int count = 0;
    LocalMemory<wchar_t*> list(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!list) ThrowLastError();
    return std::vector<std::wstring>(list.Get(), list.Get() + count);
  }

  void EnterApartment() override {
    CheckCall(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    apartment_ = ComApartment(true);
  }

  std::unique_ptr<PackageStore> CreatePackageStore() override {
    return CreateWindowsPackageStore();
  }

  void NotifyAssociationsChanged() override {
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  }

  void LeaveApartment() override { apartment_.Reset(); }

  void ShowError(const std::wstring& text, const std::wstring& caption) override {
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
  }

  // The installer asked for the page, so it opens even when both
  // associations are in place already.
  void WatchDefaultAppsSettings(const std::wstring& address) override {
    cindral::WatchDefaultAppsSettings(address, DefaultCheck::kSkip);
  }

 private:
  ComApartment apartment_;
};

}  // namespace
}  // namespace cindral::broker

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  SetUnhandledExceptionFilter(cindral::broker::LogUnhandledException);
  cindral::broker::WindowsBrokerHost host;
  return cindral::broker::RunBroker(host);
}
