// A package store held in memory: the registrations a test sets up, and a
// record of every deployment the broker asked for.
#pragma once

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "broker/package_registration.h"

namespace cindral::broker::testing {

struct StoredPackage {
  StoredPackage(PackageVersion version, std::optional<std::wstring> location,
                std::wstring full_name = {})
      : version(version), location(std::move(location)), full_name(std::move(full_name)) {}

  PackageVersion version;
  std::optional<std::wstring> location;  // the external location's path
  std::wstring full_name;                // made from the version when empty
};

class MemoryPackageStore : public PackageStore {
 public:
  explicit MemoryPackageStore(std::vector<StoredPackage> packages = {});

  std::vector<std::unique_ptr<RegisteredPackage>> FindIdentityPackages() override;
  void AddPackage(const std::wstring& package_url) override;
  void AddPackageWithExternalLocation(const std::wstring& package_url,
                                      const std::wstring& location_url) override;
  void RemovePackage(const std::wstring& full_name) override;

  // Deployments asked for, in order: "add <url>", "add <url> at <url>",
  // "remove <full name>" (also a removal that failed).
  std::vector<std::wstring> deployments;
  // Registrations left.
  std::vector<StoredPackage> packages;
  // A removal of this full name fails with kRemovalFailure.
  std::wstring failing_removal;
  // The query itself fails with this code, or with this text and no code.
  HRESULT query_failure = S_OK;
  std::string plain_failure;
  // Reads of a package's external location; a package whose version is
  // not current must never need one.
  int location_reads = 0;
};

inline constexpr HRESULT kRemovalFailure = static_cast<HRESULT>(0x80073CFA);

// "Cindral.Archiver_26.4.0.5_neutral__p7x2kq9dm4w3t" for 26.4.0.5.
std::wstring FullNameOf(const PackageVersion& version);

}  // namespace cindral::broker::testing
