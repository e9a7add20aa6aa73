#include "tests/ui/test_worker.h"

#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/entry/command_line_grammar.h"
#include "app/entry/roles.h"
#include "app/entry/worker_launch.h"
#include "app/entry/worker_shared_state.h"
#include "common/selection_request.h"
#include "common/win_owners.h"

namespace cindral::testing {
namespace {

std::vector<std::wstring> ProcessArguments() {
  int count = 0;
  const LocalMemory<LPWSTR> array(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::wstring> arguments;
  for (int index = 0; array && index < count; ++index) arguments.emplace_back(array.Get()[index]);
  return arguments;
}

int PlayWorker(WorkerSharedState& state, const std::filesystem::path& input) {
  const std::wstring extension = input.extension().wstring();
  if (extension == L".done") {
    ReportTotal(state, 10);
    FinishJob(state, JobState::Done);
  } else if (extension == L".notice") {
    const std::wstring name = input.filename().wstring();
    ReportNotice(state,
                 std::wstring(kNoticePrefix, kNoticePrefix + sizeof kNoticePrefix - 1) + name);
    FinishJob(state, JobState::Done);
  } else if (extension == L".fail") {
    FinishJob(state, JobState::Failed, kMadeToFail);
    return 1;
  } else if (extension == L".wait") {
    ReportTotal(state, 10);
    ReportCompleted(state, 3);
    ReportCurrentItem(state, input.filename().wstring());
    while (!IsWorkerStopRequested(state)) Sleep(20);
    FinishJob(state, JobState::Cancelled, "Cancelled.");
    return 2;
  } else if (extension == L".hang") {
    for (;;) Sleep(1000);
  } else if (extension == L".allocate") {
    const SIZE_T beyond = static_cast<SIZE_T>(kMaxWorkerMemoryLimit + (256ull << 20));
    void* memory = VirtualAlloc(nullptr, beyond, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return memory != nullptr ? kAllocationAllowed : kAllocationRefused;
  }
  return 0;
}

}  // namespace

std::optional<int> RunAsTestWorkerIfAsked() {
  const std::vector<std::wstring> arguments = ProcessArguments();
  if (arguments.size() < 2 || arguments[1] != L"--worker") return std::nullopt;
  const LaunchChoice choice = ChooseLaunch(arguments);
  const SelectionRequest request = ReadSelectionRequest(choice.request_path);
  const std::filesystem::path input = request.paths.empty() ? L"" : request.paths.front();
  const std::wstring extension = input.extension().wstring();
  if (extension == L".zip" || extension == L".7z") {
    try {
      return RunWorkerRole(choice);
    } catch (const std::exception&) {
      // The real program shows an error box here; a test worker just ends,
      // which the interface reports as a worker that died.
      return 1;
    }
  }
  DeleteFileW(choice.request_path.c_str());
  const WorkerSharedStateMapping shared = OpenWorkerSharedState(choice.mapping_name);
  return PlayWorker(*shared.State(), input);
}

}  // namespace cindral::testing
