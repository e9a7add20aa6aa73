#include "tests/e2e/job_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/selection_request.h"
#include "tests/e2e/process_runner.h"

namespace cindral::testing {

fs::path FixtureFolder() { return DistFolder().parent_path() / "bin" / "e2e_fixtures"; }

fs::path U8(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                  wide.data(), static_cast<int>(wide.size())));
  return fs::path(wide);
}

std::string Utf8(const fs::path& path) {
  const std::wstring& wide = path.native();
  std::string text(wide.size() * 3, '\0');
  text.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                  text.data(), static_cast<int>(text.size()), nullptr, nullptr));
  return text;
}

fs::path Long(const fs::path& path) {
  const std::wstring text = path.wstring();
  if (text.starts_with(L"\\\\?\\")) return path;
  return fs::path(L"\\\\?\\" + fs::absolute(path).wstring());
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

void WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(stream.good()) << file;
}

namespace {

// By the platform's own listing on the long form: the standard library's
// iterators give up below the classic path limit.
void ListInto(const std::wstring& folder, const std::string& prefix,
              std::vector<std::string>& names) {
  WIN32_FIND_DATAW found{};
  UniqueFind find(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0));
  ASSERT_TRUE(find) << "cannot list " << Utf8(folder) << ": error " << GetLastError();
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::string listed = prefix + Utf8(name) + (is_folder ? "/" : "");
    names.push_back(listed);
    if (is_folder) ListInto(folder + L"\\" + name, listed, names);
  } while (FindNextFileW(find.Get(), &found));
}

}  // namespace

std::vector<std::string> ListTree(const fs::path& tree) {
  std::vector<std::string> names;
  ListInto(Long(tree).wstring(), "", names);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> CindralLeftovers(const fs::path& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    const std::string name = Utf8(entry.path().filename());
    if (name.starts_with(".Cindral-")) names.push_back(name);
  }
  return names;
}

void JobTest::SetUp() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  std::replace(name.begin(), name.end(), '/', '-');
  root_ = fs::temp_directory_path() /
          ("cindral-jobs-" + name + "-" + std::to_string(GetCurrentProcessId()));
  fs::remove_all(root_);
  fs::create_directories(root_ / "program");
  work_ = root_ / "work";
  fs::create_directories(work_);
  program_ = root_ / "program" / "Vantle.exe";
  fs::copy_file(DistFolder() / "Vantle.exe", program_);
  fs::copy_file(DistFolder() / "Cindral.Engine.dll", root_ / "program" / "Cindral.Engine.dll");
  ASSERT_TRUE(fs::exists(FixtureFolder() / "stamp")) << "the fixture generator did not run";
}

void JobTest::TearDown() {
  std::error_code ignored;
  if (!HasFailure()) fs::remove_all(root_, ignored);
}

DWORD JobTest::Headless(const wchar_t* mode, const std::vector<fs::path>& paths) {
  std::vector<std::wstring> arguments = {std::wstring(L"--headless-") + mode};
  for (const fs::path& path : paths) arguments.push_back(path.wstring());
  return RunProgram(program_, arguments, 120000);
}

std::string JobTest::LastError() const {
  const fs::path file = program_.parent_path() / "last-error.txt";
  return fs::exists(file) ? ReadBytes(file) : "<none>";
}

fs::path JobTest::CopyFixture(const std::string& fixture, const fs::path& folder,
                              const std::string& name) {
  fs::create_directories(folder);
  const fs::path target = folder / U8(name.empty() ? fixture : name);
  fs::copy_file(FixtureFolder() / fixture, target);
  return target;
}

WorkerProcess::WorkerProcess()
    : name_(NewWorkerMappingName()), mapping_(CreateWorkerSharedState(name_)) {}

void WorkerProcess::Start(const fs::path& program, bool pack,
                          const std::vector<std::wstring>& paths) {
  const fs::path request = WriteSelectionRequest(pack, paths);
  StartedProgram started = StartProgram(program, {L"--worker", request.wstring(), name_, L"1"});
  ASSERT_TRUE(started.process);
  process_ = std::move(started.process);
}

bool WorkerProcess::WaitForPrompt(DWORD timeout_ms) {
  const ULONGLONG end = GetTickCount64() + timeout_ms;
  while (GetTickCount64() < end) {
    if (IsPromptDue(State())) return true;
    if (WaitForSingleObject(process_.Get(), 20) == WAIT_OBJECT_0) return IsPromptDue(State());
  }
  ADD_FAILURE() << "no prompt and no end within " << timeout_ms << " ms";
  return false;
}

DWORD WorkerProcess::Wait(DWORD timeout_ms) {
  if (WaitForSingleObject(process_.Get(), timeout_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process_.Get(), 99);
    ADD_FAILURE() << "the worker did not end within " << timeout_ms << " ms";
    return ~DWORD{0};
  }
  DWORD exit_code = 0;
  GetExitCodeProcess(process_.Get(), &exit_code);
  return exit_code;
}

}  // namespace cindral::testing
