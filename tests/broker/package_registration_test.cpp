// The registration, removal and checks of the package identity against a
// store in memory, with the install folder made for real.
#include "broker/package_registration.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "broker/broker_error.h"
#include "tests/broker/install_folder.h"
#include "tests/broker/memory_package_store.h"

namespace cindral::broker {
namespace {

using testing::FullNameOf;
using testing::MemoryPackageStore;
using testing::StoredPackage;

constexpr PackageVersion k3{26, 4, 0, 3};
constexpr PackageVersion k4{26, 4, 0, 4};
constexpr PackageVersion k5{26, 4, 0, 5};
constexpr PackageVersion k6{26, 4, 0, 6};
constexpr wchar_t kOlderPackage[] =
    L"An older archive package is still registered. Uninstall the old version through Windows "
    L"first.";
constexpr wchar_t kNotRegistered[] =
    L"Archive identity is not registered for this Windows account.";
constexpr wchar_t kOtherFolder[] = L"C:\\Program Files\\Other\\Vantle";

// The refusal's message, or "no refusal"; a failure with another code is
// reported with that code.
template <typename Operation>
std::wstring RefusalOf(Operation operation) {
  try {
    operation();
  } catch (const BrokerError& error) {
    if (error.Code() != E_INVALIDARG) return L"code " + std::to_wstring(error.Code());
    return error.Message();
  }
  return L"no refusal";
}

class PackageRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::MakeInstallFolder(); }

  std::wstring Folder() const { return testing::InstallFolder(); }
  std::wstring Identity() const { return Folder() + L"\\Setup\\identity.msix"; }
  std::wstring IdentityUrl() const { return FileUrl(Identity()); }
  std::wstring FolderUrl() const { return FileUrl(Folder()); }
};

TEST_F(PackageRegistrationTest, FileUrlsAreTheSystemsFileAddresses) {
  EXPECT_EQ(FileUrl(L"C:\\Program Files\\DRUV\\Vantle"), L"file:///C:/Program%20Files/DRUV/Vantle");
}

TEST_F(PackageRegistrationTest, RegistersWithTheFolderAsExternalLocation) {
  MemoryPackageStore store;
  RegisterExternal(store, Identity(), Folder());
  EXPECT_EQ(store.deployments,
            std::vector<std::wstring>{L"add " + IdentityUrl() + L" at " + FolderUrl()});
}

TEST_F(PackageRegistrationTest, RegistersAgainOverCurrentRegistrationsOfTheFolder) {
  // Two current registrations, one of them with its location in other case.
  MemoryPackageStore store({{k4, Folder()}, {k5, L"c:\\PROGRAM FILES\\druv\\VANTLE"}});
  RegisterExternal(store, Identity(), Folder());
  EXPECT_EQ(store.deployments.size(), 1u);
}

TEST_F(PackageRegistrationTest, ResolvesTheArgumentsLetterCaseAndSeparators) {
  MemoryPackageStore store;
  std::wstring identity = Identity();
  for (wchar_t& c : identity) c = c == L'\\' ? L'/' : towlower(c);
  RegisterExternal(store, identity, Folder() + L"\\\\");
  EXPECT_EQ(store.deployments,
            std::vector<std::wstring>{L"add " + IdentityUrl() + L" at " + FolderUrl()});
}

TEST_F(PackageRegistrationTest, RefusesWhileAnyOtherRegistrationExists) {
  const std::vector<StoredPackage> others = {
      {k3, Folder()},  // the rollback version
      {k6, Folder()},  // a newer one
      {{27, 0, 0, 0}, Folder()},
      {k5, kOtherFolder},      // current, elsewhere
      {k4, std::nullopt},      // current, without external location
      {k5, Folder() + L"\\"},  // a location that differs by more than case
  };
  for (const StoredPackage& other : others) {
    MemoryPackageStore store({{k4, Folder()}, other});
    EXPECT_EQ(RefusalOf([&] { RegisterExternal(store, Identity(), Folder()); }), kOlderPackage)
        << FullNameOf(other.version);
    EXPECT_TRUE(store.deployments.empty());
  }
}

TEST_F(PackageRegistrationTest, RefusesAnIdentityPackageOutsideSetup) {
  const std::filesystem::path folder(Folder());
  std::filesystem::copy_file(folder / L"Setup" / L"identity.msix", folder / L"identity.msix",
                             std::filesystem::copy_options::overwrite_existing);
  for (const std::wstring& identity :
       {Folder() + L"\\identity.msix", Folder() + L"\\Setup\\other.msix",
        Folder() + L"\\Setup\\Setup\\identity.msix", std::wstring(L"C:\\identity.msix")}) {
    MemoryPackageStore store;
    EXPECT_EQ(RefusalOf([&] { RegisterExternal(store, identity, Folder()); }),
              L"Invalid identity package location.")
        << identity;
    EXPECT_TRUE(store.deployments.empty());
  }
  std::filesystem::remove(folder / L"identity.msix");
}

TEST_F(PackageRegistrationTest, RefusesASetupFolderSpelledOtherwiseOnDisk) {
  const std::filesystem::path folder(Folder());
  // In two steps: a rename that changes only letter case may be no rename.
  std::filesystem::rename(folder / L"Setup", folder / L"setup-");
  std::filesystem::rename(folder / L"setup-", folder / L"setup");
  MemoryPackageStore store;
  const std::wstring refusal = RefusalOf([&] { RegisterExternal(store, Identity(), Folder()); });
  std::filesystem::rename(folder / L"setup", folder / L"Setup-");
  std::filesystem::rename(folder / L"Setup-", folder / L"Setup");
  EXPECT_EQ(refusal, L"Invalid identity package location.");
  EXPECT_TRUE(store.deployments.empty());
}

TEST_F(PackageRegistrationTest, RefusesAnotherInstallFolderBeforeLookingAtPackages) {
  MemoryPackageStore store({{k3, Folder()}});
  EXPECT_EQ(RefusalOf([&] { RegisterExternal(store, Identity(), Folder() + L"\\Setup"); }),
            L"Archive integration requires the protected Program Files/DRUV folder.");
  EXPECT_EQ(RefusalOf([&] { RemoveExternal(store, Folder() + L"\\.."); }),
            L"Archive integration requires the protected Program Files/DRUV folder.");
  EXPECT_TRUE(store.deployments.empty());
}

TEST_F(PackageRegistrationTest, RemovesOnlyCurrentRegistrationsOfTheFolderInOrder) {
  MemoryPackageStore store({{k3, Folder()},
                            {k5, L"C:\\PROGRAM FILES\\DRUV\\VANTLE"},
                            {k5, kOtherFolder, L"other-folder"},
                            {k4, std::nullopt, L"no-location"},
                            {k6, Folder()},
                            {k4, Folder()}});
  RemoveExternal(store, Folder());
  EXPECT_EQ(store.deployments,
            (std::vector<std::wstring>{L"remove " + FullNameOf(k5), L"remove " + FullNameOf(k4)}));
  EXPECT_EQ(store.packages.size(), 4u);
}

TEST_F(PackageRegistrationTest, RemovingNothingSucceeds) {
  MemoryPackageStore store({{k3, Folder()}});
  RemoveExternal(store, Folder());
  EXPECT_TRUE(store.deployments.empty());
}

TEST_F(PackageRegistrationTest, AFailedRemovalStopsAndKeepsEarlierRemovals) {
  MemoryPackageStore store({{k3, Folder()}, {k4, Folder()}, {k5, Folder()}});
  store.failing_removal = FullNameOf(k4);
  try {
    UninstallIdentity(store);
    ADD_FAILURE() << "the failed removal passed";
  } catch (const BrokerError& error) {
    EXPECT_EQ(error.Code(), testing::kRemovalFailure);
    EXPECT_EQ(error.Message(), L"Removal failed.");
  }
  EXPECT_EQ(store.deployments,
            (std::vector<std::wstring>{L"remove " + FullNameOf(k3), L"remove " + FullNameOf(k4)}));
  ASSERT_EQ(store.packages.size(), 2u);
  EXPECT_EQ(store.packages[0].version, k4);
  EXPECT_EQ(store.packages[1].version, k5);
}

TEST_F(PackageRegistrationTest, CheckExternalWantsExactlyOneCurrentRegistration) {
  MemoryPackageStore none({{k3, Folder()}, {k5, kOtherFolder}});
  EXPECT_EQ(RefusalOf([&] { CheckExternal(none, Folder()); }), kNotRegistered);
  MemoryPackageStore two({{k4, Folder()}, {k5, Folder()}});
  EXPECT_EQ(RefusalOf([&] { CheckExternal(two, Folder()); }), kNotRegistered);
  MemoryPackageStore one({{k3, Folder()}, {k5, L"c:\\program files\\druv\\vantle"}});
  EXPECT_EQ(RefusalOf([&] { CheckExternal(one, Folder() + L"\\"); }), L"no refusal");
  EXPECT_TRUE(one.deployments.empty());
}

TEST_F(PackageRegistrationTest, LocationsAreReadOnlyForCurrentVersions) {
  MemoryPackageStore store({{k3, Folder()}, {k6, Folder()}, {k4, kOtherFolder}});
  EXPECT_EQ(RefusalOf([&] { CheckExternal(store, Folder()); }), kNotRegistered);
  EXPECT_EQ(store.location_reads, 1);
}

TEST_F(PackageRegistrationTest, UninstallRemovesEveryVersionAndRollbackOnlyItsOwn) {
  const std::vector<StoredPackage> registered = {
      {k3, Folder()}, {k4, kOtherFolder}, {k5, std::nullopt}, {{1, 0, 0, 0}, Folder()}};
  MemoryPackageStore uninstall(registered);
  UninstallIdentity(uninstall);
  EXPECT_EQ(uninstall.deployments.size(), 4u);
  EXPECT_TRUE(uninstall.packages.empty());

  MemoryPackageStore rollback(registered);
  RollBackIdentity(rollback);
  EXPECT_EQ(rollback.deployments, std::vector<std::wstring>{L"remove " + FullNameOf(k3)});

  MemoryPackageStore empty;
  RollBackIdentity(empty);
  UninstallIdentity(empty);
  EXPECT_TRUE(empty.deployments.empty());
}

TEST_F(PackageRegistrationTest, CheckFailsOnlyWhenTheQueryFails) {
  MemoryPackageStore empty;
  CheckIdentity(empty);
  MemoryPackageStore failing;
  failing.query_failure = static_cast<HRESULT>(0x80073D02);
  try {
    CheckIdentity(failing);
    ADD_FAILURE() << "the failed query passed";
  } catch (const BrokerError& error) {
    EXPECT_EQ(error.Code(), static_cast<HRESULT>(0x80073D02));
  }
}

TEST_F(PackageRegistrationTest, InstallAddsTheAbsolutePathWithoutAnyCheck) {
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW((Folder() + L"\\Setup").c_str()));
  MemoryPackageStore store({{k3, Folder()}});
  InstallPackage(store, L"..\\some package.msix");
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(store.deployments,
            std::vector<std::wstring>{L"add " + FileUrl(Folder() + L"\\some package.msix")});
}

}  // namespace
}  // namespace cindral::broker
