// The broker's log, "vantle-msi-integration.log" in the user's temporary
// folder: one UTF-16LE line per message, each appended with a single write so
// that concurrent runs never interleave inside a line.
#pragma once

#include <windows.h>

#include <string>

namespace cindral::broker {

// "YYYY-MM-DD hh:mm:ss PID <pid> <message>\r\n", cut to the 1024-character
// buffer the installer's log readers expect.
std::wstring FormatLogLine(const SYSTEMTIME& time, DWORD process_id, const std::wstring& message);

// The log file's path; empty when the temporary folder cannot be found.
std::wstring LogFilePath();

// Appends one line for message, stamped now with this process; a log that
// cannot be written loses the line silently.
void LogMessage(const std::wstring& message);

// "WinRT error 0x8007000E" and the like.
std::wstring FormatErrorCode(const wchar_t* format, DWORD code, size_t buffer_size);

}  // namespace cindral::broker
