// Starts the real deliverables from the build's dist folder and waits for them.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/win_owners.h"

namespace cindral::testing {

// The dist folder, found from the running test program (build/bin/...).
std::filesystem::path DistFolder();

struct StartedProgram {
  UniqueHandle process;
  DWORD id = 0;
};

// Starts program with arguments (each quoted) in folder, or in this
// program's current folder when it is empty. A program that cannot start
// fails the calling test and comes back without a process.
StartedProgram StartProgram(const std::filesystem::path& program,
                            const std::vector<std::wstring>& arguments,
                            const std::filesystem::path& folder = {});

// Waits at most timeout_ms for started to end and returns its exit code; one
// that does not end in time is killed and fails the calling test.
DWORD ExitCodeAfter(const StartedProgram& started, DWORD timeout_ms);

// Runs program with arguments (each quoted), waits at most timeout_ms and
// returns its exit code; a program that does not end in time is killed and
// fails the calling test. process_id, when given, receives the program's id.
DWORD RunProgram(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                 DWORD timeout_ms = 60000, DWORD* process_id = nullptr);

}  // namespace cindral::testing
