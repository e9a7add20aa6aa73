// What the whole-program job tests share: a fresh folder per test with a
// private copy of the program (its last-error.txt is then the test's own),
// the generated archives, tree listings and worker processes driven through
// a shared state the test creates.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/entry/worker_shared_state.h"
#include "common/win_owners.h"
#include "tests/wine_support.h"

namespace cindral::testing {

namespace fs = std::filesystem;

// The archives that make_hostile_archives.py wrote beside the test program.
fs::path FixtureFolder();

// UTF-8 to and from paths, whatever the narrow code page.
fs::path U8(const std::string& text);
std::string Utf8(const fs::path& path);

// The extended-length form, for trees deeper than the classic path limit.
fs::path Long(const fs::path& path);

std::string ReadBytes(const fs::path& file);
void WriteBytes(const fs::path& file, std::string_view bytes);

// Every item below folder as a relative path with "/" separators, folders
// ending in "/", sorted.
std::vector<std::string> ListTree(const fs::path& folder);

// Items directly in folder whose names begin with ".Cindral-".
std::vector<std::string> CindralLeftovers(const fs::path& folder);

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the private Vantle.exe with "--headless-<mode>" and paths.
  DWORD Headless(const wchar_t* mode, const std::vector<fs::path>& paths);
  // last-error.txt of the private copy, or "<none>" when there is none.
  std::string LastError() const;
  // A fixture archive copied into folder (made when missing) under name.
  fs::path CopyFixture(const std::string& fixture, const fs::path& folder,
                       const std::string& name = {});

  fs::path root_;
  fs::path program_;  // root_/program/Vantle.exe with the engine beside it
  fs::path work_;     // root_/work, empty at the start
};

// One worker process on a shared state the test made, as the interface
// would start it (without the job object).
class WorkerProcess {
 public:
  WorkerProcess();
  WorkerSharedState& State() { return *mapping_.State(); }
  void Start(const fs::path& program, bool pack, const std::vector<std::wstring>& paths);
  // True when a prompt waits; false when the process ended first.
  bool WaitForPrompt(DWORD timeout_ms = 60000);
  // Waits for the end and returns the exit code.
  DWORD Wait(DWORD timeout_ms = 60000);

 private:
  std::wstring name_;
  WorkerSharedStateMapping mapping_;
  UniqueHandle process_;
};

}  // namespace cindral::testing
