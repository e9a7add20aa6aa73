// The package identity's registrations: which of them count as current for
// the install folder, and the registration, removal and checks the broker's
// operations perform. The package manager is reached through PackageStore,
// so that this logic is the same against Windows and against a test's store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cindral::broker {

struct PackageVersion {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t build = 0;
  uint16_t revision = 0;

  friend bool operator==(const PackageVersion&, const PackageVersion&) = default;
};

inline constexpr wchar_t kIdentityName[] = L"Cindral.Archiver";
inline constexpr wchar_t kIdentityPublisher[] = L"CN=Cindral";
inline constexpr wchar_t kIdentityApplication[] = L"Cindral";
inline constexpr PackageVersion kRollbackVersion{26, 4, 0, 3};

// Versions 26.4.0.4 and 26.4.0.5 are the ones this product installs.
bool IsCurrentVersion(const PackageVersion& version);

// One registration as the package manager reports it. Every read is a call
// that may fail, so nothing is read before it is needed.
class RegisteredPackage {
 public:
  virtual ~RegisteredPackage() = default;
  virtual PackageVersion Version() = 0;
  virtual std::wstring FullName() = 0;
  virtual std::wstring FamilyName() = 0;
  // The external location's path; nothing for a package without one.
  virtual std::optional<std::wstring> ExternalLocation() = 0;
};

// The package manager for the user who runs the broker. Failures are thrown
// as BrokerError with the call's or the deployment's code.
class PackageStore {
 public:
  virtual ~PackageStore() = default;
  // The user's registrations of the identity's name and publisher, in the
  // package manager's order.
  virtual std::vector<std::unique_ptr<RegisteredPackage>> FindIdentityPackages() = 0;
  // Adds the package at package_url (a file URL) and waits for the deployment.
  virtual void AddPackage(const std::wstring& package_url) = 0;
  // The same with the given folder URL as the package's external location.
  virtual void AddPackageWithExternalLocation(const std::wstring& package_url,
                                              const std::wstring& location_url) = 0;
  // Removes one registration by its full name and waits for the deployment.
  virtual void RemovePackage(const std::wstring& full_name) = 0;
};

// A registration of a current version whose external location is folder,
// ignoring ASCII letter case.
bool IsCurrentIdentityPackage(RegisteredPackage& package, const std::wstring& folder);

// The file URL of a path (UrlCreateFromPathW).
std::wstring FileUrl(const std::wstring& path);

// The operations, one per switch.
void RegisterExternal(PackageStore& store, const std::wstring& identity_package,
                      const std::wstring& install_folder);
void RemoveExternal(PackageStore& store, const std::wstring& install_folder);
void CheckExternal(PackageStore& store, const std::wstring& install_folder);
void InstallPackage(PackageStore& store, const std::wstring& package_path);
void UninstallIdentity(PackageStore& store);
void RollBackIdentity(PackageStore& store);
void CheckIdentity(PackageStore& store);

}  // namespace cindral::broker
