#include "tests/broker/memory_package_store.h"

#include <algorithm>

#include "broker/broker_error.h"

namespace cindral::broker::testing {
namespace {

class MemoryPackage : public RegisteredPackage {
 public:
  MemoryPackage(StoredPackage package, int& location_reads)
      : package_(std::move(package)), location_reads_(location_reads) {}

  PackageVersion Version() override { return package_.version; }
  std::wstring FullName() override { return package_.full_name; }
  std::wstring FamilyName() override { return L"Cindral.Archiver_p7x2kq9dm4w3t"; }
  std::optional<std::wstring> ExternalLocation() override {
    ++location_reads_;
    return package_.location;
  }

 private:
  StoredPackage package_;
  int& location_reads_;
};

}  // namespace

std::wstring FullNameOf(const PackageVersion& version) {
  return L"Cindral.Archiver_" + std::to_wstring(version.major) + L"." +
         std::to_wstring(version.minor) + L"." + std::to_wstring(version.build) + L"." +
         std::to_wstring(version.revision) + L"_neutral__p7x2kq9dm4w3t";
}

MemoryPackageStore::MemoryPackageStore(std::vector<StoredPackage> initial)
    : packages(std::move(initial)) {
  for (StoredPackage& package : packages)
    if (package.full_name.empty()) package.full_name = FullNameOf(package.version);
}

std::vector<std::unique_ptr<RegisteredPackage>> MemoryPackageStore::FindIdentityPackages() {
  if (FAILED(query_failure)) throw BrokerError(query_failure, L"");
  if (!plain_failure.empty()) throw std::runtime_error(plain_failure);
  std::vector<std::unique_ptr<RegisteredPackage>> found;
  for (const StoredPackage& package : packages)
    found.push_back(std::make_unique<MemoryPackage>(package, location_reads));
  return found;
}

void MemoryPackageStore::AddPackage(const std::wstring& package_url) {
  deployments.push_back(L"add " + package_url);
}

void MemoryPackageStore::AddPackageWithExternalLocation(const std::wstring& package_url,
                                                        const std::wstring& location_url) {
  deployments.push_back(L"add " + package_url + L" at " + location_url);
}

void MemoryPackageStore::RemovePackage(const std::wstring& full_name) {
  deployments.push_back(L"remove " + full_name);
  if (full_name == failing_removal) throw BrokerError(kRemovalFailure, L"Removal failed.");
  std::erase_if(packages,
                [&](const StoredPackage& package) { return package.full_name == full_name; });
}

}  // namespace cindral::broker::testing
