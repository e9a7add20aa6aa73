#include "broker/broker_log.h"

#include <cwchar>
#include <vector>

#include "common/win_owners.h"

namespace cindral::broker {

std::wstring FormatLogLine(const SYSTEMTIME& time, DWORD process_id, const std::wstring& message) {
  wchar_t stamp[64];
  std::swprintf(stamp, std::size(stamp), L"%04u-%02u-%02u %02u:%02u:%02u PID %lu ", time.wYear,
                time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, process_id);
  std::wstring line = stamp;
  // A message too long for the line's buffer is cut; the line still ends.
  constexpr size_t kLineBuffer = 1024;
  const size_t room = kLineBuffer - 1 - line.size() - 2;
  line.append(message, 0, room);
  line += L"\r\n";
  return line;
}

std::wstring LogFilePath() {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(folder, length) + L"vantle-msi-integration.log";
}

void LogMessage(const std::wstring& message) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  const std::wstring line = FormatLogLine(now, GetCurrentProcessId(), message);
  const std::wstring path = LogFilePath();
  if (path.empty()) return;
  UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
            nullptr);
}

std::wstring FormatErrorCode(const wchar_t* format, DWORD code, size_t buffer_size) {
  std::vector<wchar_t> text(buffer_size);
  const int length = std::swprintf(text.data(), text.size(), format, code);
  return length < 0 ? std::wstring() : std::wstring(text.data(), static_cast<size_t>(length));
}

}  // namespace cindral::broker
