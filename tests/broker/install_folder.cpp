#include "tests/broker/install_folder.h"

#include <filesystem>
#include <fstream>

#include "broker/install_location.h"

namespace cindral::broker::testing {

std::wstring InstallFolder() { return ProtectedInstallFolder(); }

void MakeInstallFolder() {
  const std::filesystem::path setup = std::filesystem::path(InstallFolder()) / L"Setup";
  std::filesystem::create_directories(setup);
  if (!std::filesystem::exists(setup / L"identity.msix"))
    std::ofstream(setup / L"identity.msix", std::ios::binary).close();
}

void RemoveInstallFolder() {
  const std::filesystem::path folder(InstallFolder());
  std::filesystem::remove_all(folder);
  std::error_code ignored;
  std::filesystem::remove(folder.parent_path(), ignored);  // only when empty
}

}  // namespace cindral::broker::testing
