// The package store of Windows: the Windows Runtime package manager for the
// user who runs the broker.
#pragma once

#include <memory>

#include "broker/package_registration.h"
#include "broker/winrt_deployment.h"

namespace cindral::broker {

// Activates "Windows.Management.Deployment.PackageManager"; the calling thread
// must be in the multithreaded apartment. Fails with the activation's code.
std::unique_ptr<PackageStore> CreateWindowsPackageStore();

// Waits for a deployment and returns only when it succeeded; otherwise
// throws its cancellation, its result's extended error code with the error
// text, or the code of the call that failed.
void AwaitDeployment(winrt::IDeploymentOperation* operation);

}  // namespace cindral::broker
