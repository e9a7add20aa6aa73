// Starting a worker: a copy of this executable in the worker role, fed a
// request file and a shared state, held in a job object that caps its memory
// and ends it when the interface lets go. The worker runs only once it is
// inside its limits, and a failed start leaves nothing behind.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/entry/worker_shared_state.h"
#include "common/win_owners.h"

namespace cindral {

// The interface's record of one started worker. Dropping it (destroying it)
// unmaps the view, deletes the request file, closes the job object (which
// ends a worker still running: the interface holds the only handle), then
// the process and finally the mapping.
struct WorkerJob {
  UniqueHandle mapping;
  UniqueHandle process;
  UniqueHandle job_object;
  MappedView view;
  bool finished = false;  // set by the supervision once the process has ended
  std::wstring request_path;
  std::wstring mapping_name;  // "Local\Cindral-{GUID}"; for diagnostics and tests

  WorkerJob() = default;
  WorkerJob(const WorkerJob&) = delete;
  WorkerJob& operator=(const WorkerJob&) = delete;
  ~WorkerJob();

  WorkerSharedState& State() const { return *view.As<WorkerSharedState>(); }
};

// In launch order; records stay after their workers ended, so their states
// can still be read, until the whole list is cleared.
using WorkerJobList = std::vector<std::unique_ptr<WorkerJob>>;

// What a launch takes from the run it belongs to.
struct WorkerLaunchSettings {
  bool pack = false;
  uint32_t threads_per_worker = 1;
  uint64_t max_workers = 1;
};

constexpr uint64_t kMinWorkerMemoryLimit = 256ull << 20;
constexpr uint64_t kMaxWorkerMemoryLimit = 2ull << 30;

// Each concurrent worker's equal share of half the free physical memory,
// kept within 256 MiB and 2 GiB. A max_workers of 0 counts as 1.
uint64_t WorkerMemoryLimit(uint64_t available_bytes, uint64_t max_workers);

// The system calls whose failures a launch must survive. Tests replace one
// to reach a failure path that a healthy system never takes.
struct WorkerLaunchCalls {
  HANDLE(WINAPI* create_job_object)(LPSECURITY_ATTRIBUTES, LPCWSTR) = CreateJobObjectW;
  BOOL(WINAPI* assign_process)(HANDLE, HANDLE) = AssignProcessToJobObject;
};

// The worker's arguments after the executable: --worker, the quoted request
// path and mapping name, and the thread count unquoted.
std::wstring WorkerArguments(const std::wstring& request_path, const std::wstring& mapping_name,
                             uint32_t threads_per_worker);

// Starts one worker for paths (one archive when extracting, every input
// when packing) and appends its record to jobs. On failure everything made
// so far is undone and a std::runtime_error with the reason is thrown.
void StartWorker(WorkerJobList& jobs, const std::vector<std::wstring>& paths,
                 const WorkerLaunchSettings& settings, const WorkerLaunchCalls& calls = {});

}  // namespace cindral
