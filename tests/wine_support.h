// What a test needs to know about running under Wine.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace cindral::testing {

// The running test program's own file.
inline std::filesystem::path ThisProgram() {
  std::wstring buffer(32768, L'\0');
  buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
  return buffer;
}

inline bool RunsUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The Windows path under which Wine shows a Unix path (one the build made,
// such as a symbolic link); empty outside Wine or when there is none.
inline std::wstring DosPathOfUnixPath(const char* unix_path) {
  using ToDos = WCHAR*(CDECL*)(const char*);
  const auto to_dos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (to_dos == nullptr) return {};
  WCHAR* dos = to_dos(unix_path);
  if (dos == nullptr) return {};
  std::wstring path = dos;
  HeapFree(GetProcessHeap(), 0, dos);
  return path;
}

}  // namespace cindral::testing
