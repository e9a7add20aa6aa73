#include "broker/package_registration.h"

#include <windows.h>
#include <shlwapi.h>

#include "broker/broker_error.h"
#include "broker/install_location.h"
#include "common/file_system.h"

namespace cindral::broker {
namespace {

// Full names are collected before the first removal, so removals never
// disturb the package manager's sequence while it is walked.
template <typename Keep>
std::vector<std::wstring> FullNamesOf(PackageStore& store, Keep keep) {
  std::vector<std::wstring> names;
  for (const std::unique_ptr<RegisteredPackage>& package : store.FindIdentityPackages())
    if (keep(*package)) names.push_back(package->FullName());
  return names;
}

// One after another; the first failure ends the walk and earlier removals stay.
void RemoveAll(PackageStore& store, const std::vector<std::wstring>& full_names) {
  for (const std::wstring& full_name : full_names) store.RemovePackage(full_name);
}

}  // namespace

bool IsCurrentVersion(const PackageVersion& version) {
  return version == PackageVersion{26, 4, 0, 4} || version == PackageVersion{26, 4, 0, 5};
}

bool IsCurrentIdentityPackage(RegisteredPackage& package, const std::wstring& folder) {
  if (!IsCurrentVersion(package.Version())) return false;
  const std::optional<std::wstring> location = package.ExternalLocation();
  return location && EqualIgnoringAsciiCase(*location, folder);
}

std::wstring FileUrl(const std::wstring& path) {
  std::wstring url(32768, L'\0');
  DWORD length = static_cast<DWORD>(url.size());
  CheckCall(UrlCreateFromPathW(path.c_str(), url.data(), &length, 0));
  url.resize(length);
  return url;
}

void RegisterExternal(PackageStore& store, const std::wstring& identity_package,
                      const std::wstring& install_folder) {
  const std::wstring folder = ValidateInstallLocation(install_folder);
  const std::wstring identity = CanonicalPath(identity_package);
  if (!SamePathElements(identity, folder + L"\\Setup\\identity.msix"))
    Refuse(L"Invalid identity package location.");
  const std::wstring identity_url = FileUrl(identity);
  const std::wstring folder_url = FileUrl(folder);
  for (const std::unique_ptr<RegisteredPackage>& package : store.FindIdentityPackages())
    if (!IsCurrentIdentityPackage(*package, folder))
      Refuse(
          L"An older archive package is still registered. Uninstall the old version through "
          L"Windows first.");
  store.AddPackageWithExternalLocation(identity_url, folder_url);
}

void RemoveExternal(PackageStore& store, const std::wstring& install_folder) {
  const std::wstring folder = ValidateInstallLocation(install_folder);
  RemoveAll(store, FullNamesOf(store, [&](RegisteredPackage& package) {
              return IsCurrentIdentityPackage(package, folder);
            }));
}

void CheckExternal(PackageStore& store, const std::wstring& install_folder) {
  const std::wstring folder = ValidateInstallLocation(install_folder);
  size_t current = 0;
  for (const std::unique_ptr<RegisteredPackage>& package : store.FindIdentityPackages())
    if (IsCurrentIdentityPackage(*package, folder)) ++current;
  if (current != 1) Refuse(L"Archive identity is not registered for this Windows account.");
}

void InstallPackage(PackageStore& store, const std::wstring& package_path) {
  store.AddPackage(FileUrl(MakeAbsolutePath(package_path)));
}

void UninstallIdentity(PackageStore& store) {
  RemoveAll(store, FullNamesOf(store, [](RegisteredPackage&) { return true; }));
}

void RollBackIdentity(PackageStore& store) {
  RemoveAll(store, FullNamesOf(store, [](RegisteredPackage& package) {
              return package.Version() == kRollbackVersion;
            }));
}

void CheckIdentity(PackageStore& store) { store.FindIdentityPackages(); }

}  // namespace cindral::broker
