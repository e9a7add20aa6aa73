#include "common/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/win_owners.h"

namespace cindral {
namespace {

// Splits a command line the way every started process will.
std::vector<std::wstring> Split(const std::wstring& command_line) {
  int count = 0;
  LocalMemory<LPWSTR> arguments(CommandLineToArgvW(command_line.c_str(), &count));
  std::vector<std::wstring> result;
  for (int i = 0; arguments && i < count; ++i) result.emplace_back(arguments.Get()[i]);
  return result;
}

TEST(QuoteCommandLineArgument, EnclosesEveryArgumentInQuotes) {
  EXPECT_EQ(QuoteCommandLineArgument(L"plain"), L"\"plain\"");
  EXPECT_EQ(QuoteCommandLineArgument(L""), L"\"\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"C:\\dir\\"), L"\"C:\\dir\\\\\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"a\"b"), L"\"a\\\"b\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"a\\\\\"b"), L"\"a\\\\\\\\\\\"b\"");
  EXPECT_EQ(QuoteCommandLineArgument(L"a\\b c"), L"\"a\\b c\"");
}

TEST(QuoteCommandLineArgument, WorkerCommandLineSplitsIntoFiveArguments) {
  const std::wstring command_line = QuoteCommandLineArgument(L"C:\\Program Files\\Vantle.exe") +
                                    L" --worker " + QuoteCommandLineArgument(L"C:\\T\\r.request") +
                                    L" " + QuoteCommandLineArgument(L"Local\\Cindral-{G}") + L" 3";
  const std::vector<std::wstring> expected = {L"C:\\Program Files\\Vantle.exe", L"--worker",
                                              L"C:\\T\\r.request", L"Local\\Cindral-{G}", L"3"};
  EXPECT_EQ(Split(command_line), expected);
}

TEST(QuoteCommandLineArgument, RandomTextsSurviveCommandLineToArgvW) {
  const std::vector<wchar_t> alphabet = {L'a',
                                         L'Z',
                                         L'0',
                                         L' ',
                                         L'\t',
                                         L'"',
                                         L'\\',
                                         L'\\',
                                         L'\\',
                                         L'/',
                                         L':',
                                         L'\u00e9',
                                         L'\u4e2d',
                                         static_cast<wchar_t>(0xD83D),
                                         static_cast<wchar_t>(0xDE00),
                                         L'^',
                                         L'&',
                                         L'%',
                                         L'\n'};
  std::mt19937 random(20261209);
  for (int round = 0; round < 5000; ++round) {
    std::wstring text;
    const size_t length = random() % 24;
    for (size_t i = 0; i < length; ++i) text.push_back(alphabet[random() % alphabet.size()]);
    const std::wstring second = L"\\\\" + text + L"\\";
    const std::vector<std::wstring> split = Split(L"program.exe " + QuoteCommandLineArgument(text) +
                                                  L" " + QuoteCommandLineArgument(second));
    ASSERT_EQ(split.size(), 3u) << "round " << round;
    ASSERT_EQ(split[1], text) << "round " << round;
    ASSERT_EQ(split[2], second) << "round " << round;
  }
}

}  // namespace
}  // namespace cindral
