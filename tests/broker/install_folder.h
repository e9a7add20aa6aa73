// The protected install folder made in the test's Wine prefix (or on the
// test machine), with "Setup\identity.msix" in it. Tests that use it share a
// ctest lock, since one of them removes it for a while.
#pragma once

#include <string>

namespace cindral::broker::testing {

// C:\Program Files\DRUV\Vantle on a usual system, as the system names it.
std::wstring InstallFolder();

// Makes the folder, "Setup" and an empty "identity.msix" where missing.
void MakeInstallFolder();

// Removes the folder "Vantle" with everything in it, and "DRUV" if empty.
void RemoveInstallFolder();

}  // namespace cindral::broker::testing
