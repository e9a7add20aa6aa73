// Starts the real deliverables from the build's dist folder and waits for them.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace cindral::testing {

// The dist folder, found from the running test program (build/bin/...).
std::filesystem::path DistFolder();

// Runs program with arguments (each quoted), waits at most timeout_ms and
// returns its exit code; a program that does not end in time is killed and
// fails the calling test. process_id, when given, receives the program's id.
DWORD RunProgram(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                 DWORD timeout_ms = 60000, DWORD* process_id = nullptr);

}  // namespace cindral::testing
