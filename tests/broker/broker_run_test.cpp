// Whole broker runs against a store in memory: the command-line table, the
// log lines of each ending, the message boxes and the exit codes.
#include "broker/broker_run.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "broker/broker_error.h"
#include "broker/broker_log.h"
#include "tests/broker/install_folder.h"
#include "tests/broker/memory_package_store.h"

namespace cindral::broker {
namespace {

using testing::FullNameOf;
using testing::MemoryPackageStore;
using testing::StoredPackage;

using Lines = std::vector<std::wstring>;

const Lines kSuccessEnding = {L"Operation succeeded", L"Returning success", L"COM objects released",
                              L"Apartment closed"};

struct MessageBox {
  std::wstring text;
  std::wstring caption;
};

// Records what a run does; the store it hands out is a copy of `store`,
// written back when the run releases it.
class RecordingHost : public BrokerHost {
 public:
  explicit RecordingHost(Lines arguments, MemoryPackageStore* store = nullptr)
      : arguments_(std::move(arguments)), store_(store) {}

  void Log(const std::wstring& message) override { log.push_back(message); }
  Lines ReadArguments() override { return arguments_; }
  void EnterApartment() override {
    if (FAILED(apartment_failure)) throw BrokerError(apartment_failure, L"");
    log.push_back(L"<apartment entered>");
  }
  std::unique_ptr<PackageStore> CreatePackageStore() override {
    if (FAILED(activation_failure)) CheckCall(activation_failure);
    return std::make_unique<ForwardingStore>(*store_, log);
  }
  void NotifyAssociationsChanged() override { log.push_back(L"<associations changed>"); }
  void LeaveApartment() override { log.push_back(L"<apartment left>"); }
  void ShowError(const std::wstring& text, const std::wstring& caption) override {
    boxes.push_back({text, caption});
  }
  void WatchDefaultAppsSettings(const std::wstring& address) override {
    log.push_back(L"<watch " + address + L">");
  }

  Lines log;
  std::vector<MessageBox> boxes;
  HRESULT apartment_failure = S_OK;
  HRESULT activation_failure = S_OK;

 private:
  // Passes every call on and logs its release, so the order of the ending
  // can be checked.
  class ForwardingStore : public PackageStore {
   public:
    ForwardingStore(MemoryPackageStore& store, Lines& log) : store_(store), log_(log) {}
    ~ForwardingStore() override { log_.push_back(L"<store released>"); }
    std::vector<std::unique_ptr<RegisteredPackage>> FindIdentityPackages() override {
      return store_.FindIdentityPackages();
    }
    void AddPackage(const std::wstring& url) override { store_.AddPackage(url); }
    void AddPackageWithExternalLocation(const std::wstring& url,
                                        const std::wstring& location) override {
      store_.AddPackageWithExternalLocation(url, location);
    }
    void RemovePackage(const std::wstring& name) override { store_.RemovePackage(name); }

   private:
    MemoryPackageStore& store_;
    Lines& log_;
  };

  Lines arguments_;
  MemoryPackageStore* store_;
};

Lines Concat(Lines first, const Lines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

Lines Prefixed(Lines arguments) {
  arguments.insert(arguments.begin(), L"C:\\Program Files\\DRUV\\Vantle\\Vantle.Integration.exe");
  return arguments;
}

TEST(ChooseOperation, KnowsEachSwitchWithItsExactCount) {
  const std::pair<Lines, Operation> table[] = {
      {{L"--register-external", L"a", L"b"}, Operation::RegisterExternal},
      {{L"--remove-external", L"a"}, Operation::RemoveExternal},
      {{L"--check-external", L"a"}, Operation::CheckExternal},
      {{L"--install", L"a"}, Operation::Install},
      {{L"--uninstall"}, Operation::Uninstall},
      {{L"--rollback"}, Operation::Rollback},
      {{L"--check"}, Operation::Check},
      {{L"--defaults"}, Operation::Defaults},
      {{}, Operation::Invalid},
      {{L""}, Operation::Invalid},
      {{L"--check", L"x"}, Operation::Invalid},
      {{L"--register-external", L"a"}, Operation::Invalid},
      {{L"--register-external", L"a", L"b", L"c"}, Operation::Invalid},
      {{L"--install"}, Operation::Invalid},
      {{L"--rollback", L"x"}, Operation::Invalid},
      {{L"--CHECK"}, Operation::Invalid},
      {{L"--Uninstall"}, Operation::Invalid},
      {{L"-check"}, Operation::Invalid},
      {{L"--check "}, Operation::Invalid},
      {{L"check"}, Operation::Invalid},
  };
  for (const auto& [arguments, operation] : table) {
    EXPECT_EQ(ChooseOperation(Prefixed(arguments)), operation)
        << (arguments.empty() ? std::wstring(L"(none)") : arguments[0]) << ", " << arguments.size()
        << " arguments";
  }
  EXPECT_EQ(ChooseOperation({}), Operation::Invalid);
}

TEST(ChooseOperation, RollbackIsTheFirstArgumentWhateverTheCount) {
  EXPECT_TRUE(IsRollbackRun(Prefixed({L"--rollback"})));
  EXPECT_TRUE(IsRollbackRun(Prefixed({L"--rollback", L"x", L"y"})));
  EXPECT_FALSE(IsRollbackRun(Prefixed({L"--uninstall", L"--rollback"})));
  EXPECT_FALSE(IsRollbackRun(Prefixed({L"--Rollback"})));
  EXPECT_FALSE(IsRollbackRun(Prefixed({})));
}

TEST(BrokerRun, InvalidCommandLinesAreRefusedInABoxAfterTheStoreIsMade) {
  for (const Lines& arguments :
       {Lines{}, Lines{L"--check", L"extra"}, Lines{L"--Check"}, Lines{L"--nothing"}}) {
    MemoryPackageStore store;
    RecordingHost host(Prefixed(arguments), &store);
    EXPECT_EQ(RunBroker(host), 1603);
    EXPECT_EQ(host.log, (Lines{L"Broker started", L"<apartment entered>", L"<store released>",
                               L"WinRT error 0x80070057"}));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, L"Invalid installer operation.\nWindows: 0x80070057");
    EXPECT_EQ(host.boxes[0].caption, L"Vantle installatie / installation");
  }
}

TEST(BrokerRun, RollbackWithAnExtraArgumentIsRefusedSilently) {
  MemoryPackageStore store({{{26, 4, 0, 3}, std::nullopt}});
  RecordingHost host(Prefixed({L"--rollback", L"extra"}), &store);
  EXPECT_EQ(RunBroker(host), 0);
  EXPECT_EQ(host.log.back(), L"WinRT error 0x80070057");
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_TRUE(store.deployments.empty());
}

TEST(BrokerRun, RollbackRemovesItsVersionAndEndsLikeAnySuccess) {
  MemoryPackageStore store({{{26, 4, 0, 3}, std::nullopt}, {{26, 4, 0, 5}, std::nullopt}});
  RecordingHost host(Prefixed({L"--rollback"}), &store);
  EXPECT_EQ(RunBroker(host), 0);
  EXPECT_EQ(store.deployments, Lines{L"remove " + FullNameOf({26, 4, 0, 3})});
  EXPECT_EQ(host.log, (Lines{L"Broker started", L"<apartment entered>", L"Operation succeeded",
                             L"<associations changed>", L"Returning success", L"<store released>",
                             L"COM objects released", L"<apartment left>", L"Apartment closed"}));
  EXPECT_TRUE(host.boxes.empty());
}

TEST(BrokerRun, AFailedRollbackStillExitsZeroWithoutABox) {
  MemoryPackageStore store({{{26, 4, 0, 3}, std::nullopt}});
  store.failing_removal = FullNameOf({26, 4, 0, 3});
  RecordingHost host(Prefixed({L"--rollback"}), &store);
  EXPECT_EQ(RunBroker(host), 0);
  EXPECT_EQ(host.log.back(), L"WinRT error 0x80073CFA");
  EXPECT_TRUE(host.boxes.empty());
}

TEST(BrokerRun, ChecksLogTheirReadOnlyQuery) {
  MemoryPackageStore store;
  RecordingHost check(Prefixed({L"--check"}), &store);
  EXPECT_EQ(RunBroker(check), 0);
  EXPECT_EQ(check.log, Concat({L"Broker started", L"<apartment entered>",
                               L"Read-only package query succeeded"},
                              {L"Operation succeeded", L"<associations changed>",
                               L"Returning success", L"<store released>", L"COM objects released",
                               L"<apartment left>", L"Apartment closed"}));

  testing::MakeInstallFolder();
  MemoryPackageStore registered({{{26, 4, 0, 4}, testing::InstallFolder()}});
  RecordingHost check_external(Prefixed({L"--check-external", testing::InstallFolder()}),
                               &registered);
  EXPECT_EQ(RunBroker(check_external), 0);
  EXPECT_EQ(check_external.log[2], L"Read-only external identity query succeeded");
  EXPECT_EQ(check_external.log[3], L"Operation succeeded");
}

TEST(BrokerRun, ARefusalShowsItsMessageAndCode) {
  testing::MakeInstallFolder();
  MemoryPackageStore store;
  RecordingHost host(Prefixed({L"--check-external", testing::InstallFolder()}), &store);
  EXPECT_EQ(RunBroker(host), 1603);
  EXPECT_EQ(host.log.back(), L"WinRT error 0x80070057");
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].text,
            L"Archive identity is not registered for this Windows account.\nWindows: 0x80070057");
}

TEST(BrokerRun, AFailedDeploymentShowsItsErrorText) {
  MemoryPackageStore store({{{26, 4, 0, 4}, std::nullopt}});
  store.failing_removal = FullNameOf({26, 4, 0, 4});
  RecordingHost host(Prefixed({L"--uninstall"}), &store);
  EXPECT_EQ(RunBroker(host), 1603);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].text, L"Removal failed.\nWindows: 0x80073CFA");
}

TEST(BrokerRun, AFailureWithoutDescriptionShowsTheSystemsText) {
  MemoryPackageStore store;
  RecordingHost host(Prefixed({L"--check"}), &store);
  host.activation_failure = E_ACCESSDENIED;
  EXPECT_EQ(RunBroker(host), 1603);
  EXPECT_EQ(host.log,
            (Lines{L"Broker started", L"<apartment entered>", L"WinRT error 0x80070005"}));
  ASSERT_EQ(host.boxes.size(), 1u);
  // The system's own text ("Access is denied.\r\n" on Windows) without its
  // line break.
  wchar_t system_text[256] = {};
  ASSERT_NE(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           E_ACCESSDENIED, 0, system_text, 256, nullptr),
            0u);
  const std::wstring suffix = L"\nWindows: 0x80070005";
  const std::wstring& text = host.boxes[0].text;
  ASSERT_GT(text.size(), suffix.size() + 1);
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
  const std::wstring message = text.substr(0, text.size() - suffix.size());
  EXPECT_FALSE(iswspace(message.back()));
  EXPECT_EQ(std::wstring(system_text).substr(0, message.size()), message);
  EXPECT_GE(std::wstring(system_text).size(), message.size() + 1);
}

TEST(BrokerRun, AnApartmentThatCannotBeEnteredFailsTheRun) {
  RecordingHost host(Prefixed({L"--check"}));
  host.apartment_failure = RPC_E_CHANGED_MODE;
  EXPECT_EQ(RunBroker(host), 1603);
  EXPECT_EQ(host.log, (Lines{L"Broker started", L"WinRT error 0x80010106"}));
}

TEST(BrokerRun, FailuresWithoutACodeShowTheirTextUnderTheProgramsName) {
  MemoryPackageStore store;
  store.plain_failure = "weakly_canonical: Access is denied.";
  RecordingHost host(Prefixed({L"--check"}), &store);
  EXPECT_EQ(RunBroker(host), 1603);
  EXPECT_EQ(host.log.back(), L"<store released>");  // nothing logged for it
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].caption, L"Vantle");
  EXPECT_EQ(host.boxes[0].text, L"weakly_canonical: Access is denied.");

  RecordingHost rollback(Prefixed({L"--rollback"}), &store);
  EXPECT_EQ(RunBroker(rollback), 0);
  EXPECT_TRUE(rollback.boxes.empty());
}

TEST(BrokerRun, DefaultsOpensThePageOfTheFirstPackagesFamily) {
  MemoryPackageStore store({{{26, 4, 0, 5}, std::nullopt}, {{26, 4, 0, 4}, std::nullopt}});
  RecordingHost host(Prefixed({L"--defaults"}), &store);
  EXPECT_EQ(RunBroker(host), 0);
  EXPECT_EQ(
      host.log[2],
      L"<watch ms-settings:defaultapps?registeredAUMID=Cindral.Archiver_p7x2kq9dm4w3t%21Cindral>");

  MemoryPackageStore none;
  RecordingHost nothing(Prefixed({L"--defaults"}), &none);
  EXPECT_EQ(RunBroker(nothing), 0);
  EXPECT_EQ(nothing.log[2], L"Operation succeeded");
}

TEST(BrokerLog, LineFormat) {
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = 4;
  time.wDay = 7;
  time.wHour = 3;
  time.wMinute = 5;
  time.wSecond = 9;
  EXPECT_EQ(FormatLogLine(time, 4242, L"Broker started"),
            L"2026-04-07 03:05:09 PID 4242 Broker started\r\n");
  const std::wstring long_line = FormatLogLine(time, 1, std::wstring(5000, L'x'));
  EXPECT_EQ(long_line.size(), 1023u);
  EXPECT_EQ(long_line.substr(1021), L"\r\n");
  EXPECT_EQ(FormatErrorCode(L"WinRT error 0x%08X", 0x80070057, 100), L"WinRT error 0x80070057");
  EXPECT_EQ(FormatErrorCode(L"\nWindows: 0x%08X", 0x5, 32), L"\nWindows: 0x00000005");
}

}  // namespace
}  // namespace cindral::broker
