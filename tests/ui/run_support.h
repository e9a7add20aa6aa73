// What the worker-launch and supervision tests share: a fresh folder per test
// that also serves as the temporary folder (so request files left behind are
// this test's own), the archives of make_run_archives.py, and a view of the
// worker processes this test program started.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/wine_support.h"

namespace cindral::testing {

namespace fs = std::filesystem;

// ui_fixtures beside the test program.
fs::path RunFixture(const std::string& name);

// Made empty for the running test; TMP points into it until destruction.
class TestFolder {
 public:
  TestFolder();
  ~TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const fs::path& Work() const { return work_; }
  const fs::path& Temp() const { return temp_; }
  // The request files in the temporary folder.
  std::vector<fs::path> RequestFiles() const;
  // A fixture copied into the work folder.
  fs::path Copy(const std::string& fixture) const;
  // An empty file named name in the work folder: an input for a test worker.
  fs::path Touch(const std::string& name) const;

 private:
  fs::path work_;
  fs::path temp_;
  std::wstring saved_tmp_;
  bool had_tmp_ = false;
};

// Copies of this program started by this process that still exist.
size_t CountChildProcesses();
// Waits up to timeout_ms for every child to be gone; true when they are.
bool WaitForNoChildProcesses(DWORD timeout_ms);

bool MappingExists(const std::wstring& name);

std::string ReadFileText(const fs::path& file);

}  // namespace cindral::testing
