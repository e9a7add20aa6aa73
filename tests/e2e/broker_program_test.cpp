// Starts the real Vantle.Integration.exe and reads its log. Without a display
// its message boxes return at once. Under Wine the Windows Runtime package
// manager is not registered, so every run ends at its activation.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/process_runner.h"
#include "tests/wine_support.h"

namespace cindral {
namespace {

constexpr DWORD kInstallFailure = 1603;

using testing::RunsUnderWine;

std::filesystem::path LogFile() {
  return std::filesystem::temp_directory_path() / L"vantle-msi-integration.log";
}

uintmax_t LogSize() {
  std::error_code absent;
  const uintmax_t size = std::filesystem::file_size(LogFile(), absent);
  return absent ? 0 : size;
}

// The log from byte offset on.
std::wstring ReadLog(uintmax_t offset) {
  std::ifstream file(LogFile(), std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::wstring text(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  EXPECT_EQ(bytes.size() % 2, 0u) << "not whole UTF-16 code units";
  return text;
}

bool IsDigits(const std::wstring& text, size_t at, size_t count) {
  for (size_t i = at; i < at + count; ++i)
    if (i >= text.size() || text[i] < L'0' || text[i] > L'9') return false;
  return true;
}

// Checks "YYYY-MM-DD hh:mm:ss PID <pid> <message>" and returns the pid and
// the message; a malformed line fails the test.
bool ParseLine(const std::wstring& line, DWORD& pid, std::wstring& message) {
  const bool stamp = IsDigits(line, 0, 4) && line[4] == L'-' && IsDigits(line, 5, 2) &&
                     line[7] == L'-' && IsDigits(line, 8, 2) && line[10] == L' ' &&
                     IsDigits(line, 11, 2) && line[13] == L':' && IsDigits(line, 14, 2) &&
                     line[16] == L':' && IsDigits(line, 17, 2) &&
                     line.compare(19, 5, L" PID ") == 0;
  if (!stamp) return false;
  size_t end = 24;
  while (IsDigits(line, end, 1)) ++end;
  if (end == 24 || end >= line.size() || line[end] != L' ') return false;
  pid = std::stoul(line.substr(24, end - 24));
  message = line.substr(end + 1);
  return !message.empty();
}

// The messages this process id wrote after offset, every line checked on the
// way. Process ids come back soon, so earlier runs' lines are not looked at.
std::vector<std::wstring> MessagesOf(DWORD process_id, uintmax_t offset) {
  EXPECT_NE(ReadLog(0).substr(0, 1), L"\xFEFF") << "the log has a byte-order mark";
  const std::wstring log = ReadLog(offset);
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(log.substr(log.size() - 2), L"\r\n");
  std::vector<std::wstring> messages;
  size_t start = 0;
  while (start < log.size()) {
    const size_t end = log.find(L"\r\n", start);
    if (end == std::wstring::npos) break;
    const std::wstring line = log.substr(start, end - start);
    start = end + 2;
    DWORD pid = 0;
    std::wstring message;
    EXPECT_TRUE(ParseLine(line, pid, message)) << "malformed line: " << line;
    if (pid == process_id) messages.push_back(message);
  }
  return messages;
}

struct BrokerRun {
  DWORD exit_code;
  std::vector<std::wstring> messages;
};

BrokerRun RunBroker(const std::vector<std::wstring>& arguments) {
  const uintmax_t offset = LogSize();
  DWORD process_id = 0;
  const DWORD exit_code = testing::RunProgram(testing::DistFolder() / "Vantle.Integration.exe",
                                              arguments, 60000, &process_id);
  return {exit_code, MessagesOf(process_id, offset)};
}

// Under Wine the run ends at the package manager's activation, which comes
// before the command line is judged; on Windows the refusal's code shows.
const wchar_t* RefusalLine() {
  return RunsUnderWine() ? L"WinRT error 0x80040154" : L"WinRT error 0x80070057";
}

TEST(BrokerProgram, NoArgumentsFails) {
  const BrokerRun run = RunBroker({});
  EXPECT_EQ(run.exit_code, kInstallFailure);
  EXPECT_EQ(run.messages, (std::vector<std::wstring>{L"Broker started", RefusalLine()}));
}

TEST(BrokerProgram, KnownSwitchWithTheWrongCountFails) {
  const BrokerRun run = RunBroker({L"--check", L"extra"});
  EXPECT_EQ(run.exit_code, kInstallFailure);
  EXPECT_EQ(run.messages, (std::vector<std::wstring>{L"Broker started", RefusalLine()}));
}

TEST(BrokerProgram, RollbackWithAnExtraArgumentExitsZero) {
  const BrokerRun run = RunBroker({L"--rollback", L"extra"});
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.messages, (std::vector<std::wstring>{L"Broker started", RefusalLine()}));
}

TEST(BrokerProgram, CheckReachesThePackageManager) {
  const BrokerRun run = RunBroker({L"--check"});
  if (RunsUnderWine()) {
    // Wine 8 has no Windows.Management.Deployment.PackageManager.
    EXPECT_EQ(run.exit_code, kInstallFailure);
    EXPECT_EQ(run.messages,
              (std::vector<std::wstring>{L"Broker started", L"WinRT error 0x80040154"}));
    return;
  }
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.messages,
            (std::vector<std::wstring>{L"Broker started", L"Read-only package query succeeded",
                                       L"Operation succeeded", L"Returning success",
                                       L"COM objects released", L"Apartment closed"}));
}

}  // namespace
}  // namespace cindral
