// The package store of Windows: the Windows Runtime package manager for the
// user who runs the broker.
#pragma once

#include <memory>

#include "broker/package_registration.h"

namespace cindral::broker {

// Activates "Windows.Management.Deployment.PackageManager"; the calling thread
// must be in the multithreaded apartment. Fails with the activation's code.
std::unique_ptr<PackageStore> CreateWindowsPackageStore();

}  // namespace cindral::broker
