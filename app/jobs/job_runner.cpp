#include "app/jobs/job_runner.h"

#include <windows.h>
#include <objbase.h>

#include <exception>
#include <optional>

#include "app/entry/worker_shared_state.h"
#include "app/jobs/engine_binding.h"
#include "app/jobs/extraction.h"
#include "app/jobs/job_host.h"
#include "app/jobs/path_safety.h"
#include "app/jobs/zip_creation.h"
#include "common/file_system.h"
#include "common/thread_count.h"

namespace cindral {
namespace {

void RunJob(bool pack, const std::vector<std::wstring>& selection, JobHost& host,
            uint32_t threads) {
  EngineLibrary engine;
  // The engine comes first, so a missing engine fails every job, even an empty one.
  LoadEngine(engine);
  std::vector<std::wstring> prepared;
  prepared.reserve(selection.size());
  for (const std::wstring& path : selection) prepared.push_back(PrepareSelectionPath(path));

  if (pack) {
    CreateZipArchive(engine, prepared, host, threads);
  } else {
    for (const std::wstring& archive : prepared) ExtractArchive(engine, archive, host, threads);
  }
  FreeEngine(engine);
}

}  // namespace

std::wstring PrepareSelectionPath(const std::wstring& path) {
  std::wstring plain = path;
  if (plain.starts_with(L"\\\\?\\UNC\\")) {
    plain.replace(0, 8, L"\\\\");
  } else if (plain.starts_with(L"\\\\?\\")) {
    plain.erase(0, 4);
  }
  const std::wstring absolute = MakeAbsolutePath(plain);
  if (absolute.empty()) return absolute;
  return NormalizeLexically(absolute);
}

int RunArchiveJob(bool pack, const std::vector<std::wstring>& selection, WorkerSharedState* shared,
                  uint32_t threads) {
  // Refused when the thread is already a single-threaded apartment; the job
  // then runs in that one.
  const ComApartment apartment = EnterComApartment(COINIT_MULTITHREADED);
  HeadlessJobHost headless;
  std::optional<SharedStateJobHost> worker;
  if (shared != nullptr) worker.emplace(*shared);
  JobHost& host = worker ? static_cast<JobHost&>(*worker) : headless;
  try {
    RunJob(pack, selection, host, ClampThreadCount(threads));
    host.Finish(JobState::Done, {});
    return 0;
  } catch (const std::exception& failure) {
    const bool cancelled = host.IsCancelRequested();
    host.Finish(cancelled ? JobState::Cancelled : JobState::Failed, failure.what());
    return cancelled ? 2 : 1;
  }
}

}  // namespace cindral
