// File-system operations shared by the deliverables, failing with texts that
// name the operation first ("absolute: ...", "remove: ..."), so a user or a
// log can tell which step went wrong.
#pragma once

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace cindral {

// "operation: " followed by the system's text for code.
std::runtime_error FileSystemFailure(const char* operation, DWORD code);

// The path made absolute against the current directory (GetFullPathNameW).
// An empty path stays empty.
std::wstring MakeAbsolutePath(const std::wstring& path);

// The user's temporary folder; it must exist and be a folder.
std::filesystem::path TemporaryFolder();

// Deletes a file. A file that is already gone is no failure.
void RemoveFileIfPresent(const std::filesystem::path& path);

}  // namespace cindral
