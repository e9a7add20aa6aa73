#include "app/jobs/job_host.h"

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "common/utf8.h"

namespace cindral {
namespace {

// A folder that cannot be written to is no further failure.
void WriteLastError(std::string_view text) {
  std::wstring executable(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, executable.data(), static_cast<DWORD>(executable.size()));
  executable.resize(length);
  const std::filesystem::path file =
      std::filesystem::path(executable).parent_path() / "last-error.txt";
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  if (stream) stream << text;
}

}  // namespace

void HeadlessJobHost::Finish(JobState outcome, std::string_view failure_text) {
  if (outcome == JobState::Done) return;
  OutputDebugStringW(WideFromUtf8(failure_text).c_str());
  WriteLastError(failure_text);
}

void SharedStateJobHost::Finish(JobState outcome, std::string_view failure_text) {
  FinishJob(state_, outcome, failure_text);
  WipePassword(state_);
}

}  // namespace cindral
