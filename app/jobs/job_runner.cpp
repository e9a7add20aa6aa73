#include "app/jobs/job_runner.h"

#include <windows.h>
#include <objbase.h>

#include <exception>
#include <filesystem>
#include <fstream>

#include "app/entry/worker_shared_state.h"
#include "app/jobs/engine_binding.h"
#include "app/jobs/extraction.h"
#include "app/jobs/path_safety.h"
#include "app/jobs/zip_creation.h"
#include "common/file_system.h"

namespace cindral {
namespace {

std::wstring WidenBytes(const char* text) {
  std::wstring wide;
  for (const char* byte = text; *byte != '\0'; ++byte)
    wide.push_back(static_cast<unsigned char>(*byte));
  return wide;
}

// Headless runs leave their failure where a script can find it: beside the
// executable. A folder that cannot be written to is no further failure.
void WriteLastError(const char* text) {
  std::wstring executable(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, executable.data(), static_cast<DWORD>(executable.size()));
  executable.resize(length);
  const std::filesystem::path file =
      std::filesystem::path(executable).parent_path() / "last-error.txt";
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  if (stream) stream << text;
}

void RunJob(bool pack, const std::vector<std::wstring>& selection, WorkerSharedState* shared,
            int32_t threads) {
  EngineLibrary engine;
  // The engine comes first, so a missing engine fails every job, even an empty one.
  LoadEngine(engine);
  std::vector<std::wstring> prepared;
  prepared.reserve(selection.size());
  for (const std::wstring& path : selection) prepared.push_back(PrepareSelectionPath(path));

  const uint32_t thread_count = threads < 1 ? 1u : static_cast<uint32_t>(threads);
  if (pack) {
    CreateZipArchive(engine, prepared, shared, thread_count);
  } else {
    for (const std::wstring& archive : prepared)
      ExtractArchive(engine, archive, shared, thread_count);
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
                  int32_t threads) {
  // Refused when the thread is already a single-threaded apartment; the job
  // then runs in that one.
  const ComApartment apartment = EnterComApartment(COINIT_MULTITHREADED);
  int result = 0;
  try {
    RunJob(pack, selection, shared, threads);
    if (shared != nullptr) FinishJob(*shared, JobState::Done);
  } catch (const std::exception& failure) {
    result = shared != nullptr && IsWorkerStopRequested(*shared) ? 2 : 1;
    if (shared != nullptr) {
      FinishJob(*shared, result == 2 ? JobState::Cancelled : JobState::Failed, failure.what());
    } else {
      OutputDebugStringW(WidenBytes(failure.what()).c_str());
      WriteLastError(failure.what());
    }
  }
  if (shared != nullptr) WipePassword(*shared);
  return result;
}

}  // namespace cindral
