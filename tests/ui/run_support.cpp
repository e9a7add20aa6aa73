#include "tests/ui/run_support.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/win_owners.h"
#include "tests/wine_support.h"

namespace cindral::testing {
namespace {

fs::path ProgramFolder() { return ThisProgram().parent_path(); }

}  // namespace

fs::path RunFixture(const std::string& name) { return ProgramFolder() / "ui_fixtures" / name; }

TestFolder::TestFolder() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const fs::path root =
      ProgramFolder() / "ui_work" / (std::string(test->test_suite_name()) + "." + test->name());
  fs::remove_all(root);
  work_ = root / "work";
  temp_ = root / "temp";
  fs::create_directories(work_);
  fs::create_directories(temp_);
  wchar_t saved[32768];
  const DWORD length = GetEnvironmentVariableW(L"TMP", saved, 32768);
  had_tmp_ = length > 0 && length < 32768;
  if (had_tmp_) saved_tmp_.assign(saved, length);
  SetEnvironmentVariableW(L"TMP", temp_.c_str());
}

TestFolder::~TestFolder() {
  SetEnvironmentVariableW(L"TMP", had_tmp_ ? saved_tmp_.c_str() : nullptr);
}

std::vector<fs::path> TestFolder::RequestFiles() const {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(temp_))
    if (entry.path().extension() == L".request") files.push_back(entry.path());
  return files;
}

fs::path TestFolder::Copy(const std::string& fixture) const {
  const fs::path target = work_ / fixture;
  fs::copy_file(RunFixture(fixture), target, fs::copy_options::overwrite_existing);
  return target;
}

fs::path TestFolder::Touch(const std::string& name) const {
  const fs::path target = work_ / name;
  std::ofstream(target, std::ios::binary).close();
  return target;
}

size_t CountChildProcesses() {
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  size_t count = 0;
  const DWORD self = GetCurrentProcessId();
  const std::wstring own_name = ThisProgram().filename().wstring();
  // Only copies of this program: Wine may start helpers (its desktop
  // process) as children of the first process that shows a window.
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry))
    count += entry.th32ParentProcessID == self && lstrcmpiW(entry.szExeFile, own_name.c_str()) == 0;
  return count;
}

bool WaitForNoChildProcesses(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (CountChildProcesses() != 0) {
    if (GetTickCount64() > deadline) return false;
    Sleep(20);
  }
  return true;
}

bool MappingExists(const std::wstring& name) {
  const UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
  return mapping.IsValid();
}

std::string ReadFileText(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

}  // namespace cindral::testing
