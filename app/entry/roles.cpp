#include "app/entry/roles.h"

#include <windows.h>

#include <stdexcept>

#include "app/entry/worker_shared_state.h"
#include "app/jobs/job_runner.h"
#include "common/default_apps.h"
#include "common/file_system.h"
#include "common/selection_request.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

// Roles whose bodies are still being built fail plainly instead of
// pretending to have done something.
[[noreturn]] void FailNotBuilt(const char* what) {
  throw std::runtime_error(std::string(what) + " is not available in this build.");
}

}  // namespace

// Exits with 0 however the watch ends: the page is the user's business.
int RunDefaultAppsRole() {
  WatchDefaultAppsSettings(kDefaultAppsAddress, DefaultCheck::kFirst);
  return 0;
}

int RunWorkerRole(const LaunchChoice& choice) {
  const SelectionRequest request = ReadSelectionRequest(choice.request_path);
  // The interface deletes the file again when it drops the job, so the
  // outcome does not matter here.
  DeleteFileW(choice.request_path.c_str());

  const WorkerSharedStateMapping shared = OpenWorkerSharedState(choice.mapping_name);
  return RunArchiveJob(request.pack, request.paths, shared.State(),
                       static_cast<int32_t>(choice.thread_count));
}

int RunHeadlessRole(const LaunchChoice& choice) {
  const DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return RunArchiveJob(choice.pack, choice.paths, nullptr,
                       static_cast<int32_t>(processors < 1 ? 1 : processors));
}

InterfaceInputs PrepareInterfaceInputs(const LaunchChoice& choice) {
  InterfaceInputs inputs;
  if (choice.selection == InterfaceSelection::kRequestFile) {
    SelectionRequest request = ReadSelectionRequest(choice.request_path);
    RemoveFileIfPresent(choice.request_path);
    inputs.pack = request.pack;
    inputs.paths = std::move(request.paths);
    return inputs;
  }
  inputs.pack = choice.pack;
  for (const std::wstring& path : choice.paths) inputs.paths.push_back(MakeAbsolutePath(path));
  return inputs;
}

int RunInterfaceRole(const LaunchChoice& choice) {
  const InterfaceInputs inputs = PrepareInterfaceInputs(choice);
  FailNotBuilt("The main window");
}

}  // namespace cindral
