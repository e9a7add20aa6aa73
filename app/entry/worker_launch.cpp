#include "app/entry/worker_launch.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/command_line.h"
#include "common/selection_request.h"

namespace cindral {
namespace {

constexpr DWORD kExecutablePathUnits = 32768;

std::filesystem::path RunningExecutablePath() {
  std::wstring buffer(kExecutablePathUnits, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kExecutablePathUnits);
  buffer.resize(std::min(length, kExecutablePathUnits));
  return buffer;
}

uint64_t AvailablePhysicalMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  // A failed query leaves 0, which the limit raises to its floor.
  GlobalMemoryStatusEx(&status);
  return status.ullAvailPhys;
}

// The suspended worker must not survive a failed launch: it was never
// inside its limits, and closing its handle would not end it.
[[noreturn]] void EndWorkerAndFail(HANDLE process, const char* text) {
  TerminateProcess(process, 1);
  throw std::runtime_error(text);
}

void ConfineWorker(WorkerJob& job, const WorkerLaunchSettings& settings,
                   const WorkerLaunchCalls& calls) {
  job.job_object.Reset(calls.create_job_object(nullptr, nullptr));
  if (!job.job_object)
    EndWorkerAndFail(job.process.Get(), "Cannot create a worker resource limit.");

  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  limits.ProcessMemoryLimit =
      static_cast<SIZE_T>(WorkerMemoryLimit(AvailablePhysicalMemory(), settings.max_workers));
  if (!SetInformationJobObject(job.job_object.Get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits)) ||
      !calls.assign_process(job.job_object.Get(), job.process.Get()))
    EndWorkerAndFail(job.process.Get(), "Cannot apply worker resource limits.");
}

}  // namespace

WorkerJob::~WorkerJob() {
  view.Reset();
  if (!request_path.empty()) {
    std::error_code ignored;
    std::filesystem::remove(request_path, ignored);
  }
  job_object.Reset();
  process.Reset();
  mapping.Reset();
}

uint64_t WorkerMemoryLimit(uint64_t available_bytes, uint64_t max_workers) {
  const uint64_t share = available_bytes / 2 / std::max<uint64_t>(max_workers, 1);
  return std::clamp(share, kMinWorkerMemoryLimit, kMaxWorkerMemoryLimit);
}

std::wstring WorkerArguments(const std::wstring& request_path, const std::wstring& mapping_name,
                             uint32_t threads_per_worker) {
  return L"--worker " + QuoteCommandLineArgument(request_path) + L" " +
         QuoteCommandLineArgument(mapping_name) + L" " + std::to_wstring(threads_per_worker);
}

void StartWorker(WorkerJobList& jobs, const std::vector<std::wstring>& paths,
                 const WorkerLaunchSettings& settings, const WorkerLaunchCalls& calls) {
  // Until it is appended, the record undoes every step when it goes out of scope.
  auto job = std::make_unique<WorkerJob>();

  job->mapping_name = NewWorkerMappingName();
  WorkerSharedStateMapping shared = CreateWorkerSharedState(job->mapping_name);
  job->mapping = std::move(shared.mapping);
  job->view = std::move(shared.view);

  job->request_path = WriteSelectionRequest(settings.pack, paths).wstring();

  const std::filesystem::path executable = RunningExecutablePath();
  std::wstring command_line =
      QuoteCommandLineArgument(executable.wstring()) + L" " +
      WorkerArguments(job->request_path, job->mapping_name, settings.threads_per_worker);
  const std::wstring folder = executable.parent_path().wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup,
                      &started))
    throw std::runtime_error("Cannot start archive worker.");
  job->process.Reset(started.hProcess);
  const UniqueHandle thread(started.hThread);

  ConfineWorker(*job, settings, calls);
  ResumeThread(thread.Get());
  jobs.push_back(std::move(job));
}

}  // namespace cindral
