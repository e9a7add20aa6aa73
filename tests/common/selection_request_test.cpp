#include "common/selection_request.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace cindral {
namespace {

using Bytes = std::vector<uint8_t>;

void AppendUInt32(Bytes& bytes, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

Bytes Header(uint32_t kind, uint32_t count) {
  Bytes bytes;
  AppendUInt32(bytes, 0x4B565231);
  AppendUInt32(bytes, kind);
  AppendUInt32(bytes, count);
  return bytes;
}

void AppendPath(Bytes& bytes, const std::wstring& path) {
  AppendUInt32(bytes, static_cast<uint32_t>(path.size()));
  for (const wchar_t unit : path) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
}

Bytes ReadAll(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// Each test gets request files of its own in a fresh folder, removed afterwards.
class RequestFileTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("cindral-request-test-" + std::to_string(GetCurrentProcessId()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::filesystem::path Write(const Bytes& bytes, const char* name = "r.request") {
    const std::filesystem::path path = folder_ / name;
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // The failure text reading bytes gives, or "" when it succeeds.
  std::string FailureOf(const Bytes& bytes) {
    try {
      ReadSelectionRequest(Write(bytes));
      return "";
    } catch (const std::exception& failure) {
      return failure.what();
    }
  }

  std::filesystem::path folder_;
};

TEST_F(RequestFileTest, FiveCharacterPackRequestIsTwentySixBytes) {
  const std::filesystem::path path = WriteSelectionRequest(true, {L"C:\\ab"});
  const Bytes bytes = ReadAll(path);
  std::filesystem::remove(path);
  ASSERT_EQ(bytes.size(), 26u);
  const Bytes header(bytes.begin(), bytes.begin() + 12);
  EXPECT_EQ(header, (Bytes{0x31, 0x52, 0x56, 0x4B, 1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(bytes[12], 5);
  EXPECT_EQ(bytes[16], 'C');
  EXPECT_EQ(bytes[17], 0);
}

TEST_F(RequestFileTest, WrittenFileIsNamedWithAGuidInTheTemporaryFolder) {
  const std::filesystem::path path = WriteSelectionRequest(false, {L"a.zip"});
  const std::wstring name = path.filename().wstring();
  std::filesystem::remove(path);
  std::wstring temporary = std::filesystem::temp_directory_path().wstring();
  if (temporary.back() == L'\\') temporary.pop_back();
  EXPECT_EQ(path.parent_path().wstring(), temporary);
  ASSERT_EQ(name.size(), 8u + 38u + 8u) << path;
  EXPECT_EQ(name.substr(0, 9), L"Cindral-{");
  EXPECT_EQ(name.substr(45), L"}.request");
  for (size_t i = 9; i < 45; ++i) {
    const wchar_t unit = name[i];
    const bool hyphen = i == 17 || i == 22 || i == 27 || i == 32;
    if (hyphen) {
      EXPECT_EQ(unit, L'-') << i;
    } else {
      EXPECT_TRUE((unit >= L'0' && unit <= L'9') || (unit >= L'A' && unit <= L'F')) << i;
    }
  }
}

TEST_F(RequestFileTest, RoundTripKeepsOrderKindAndExactText) {
  const std::vector<std::wstring> paths = {L"relative\\file.zip", L"C:\\\u00e9t\u00e9\\\u4e2d.7z",
                                           L" leading and trailing ", L"\\\\?\\C:\\x"};
  for (const bool pack : {false, true}) {
    const std::filesystem::path path = WriteSelectionRequest(pack, paths);
    const SelectionRequest request = ReadSelectionRequest(path);
    std::filesystem::remove(path);
    EXPECT_EQ(request.pack, pack);
    EXPECT_EQ(request.paths, paths);
  }
}

TEST_F(RequestFileTest, WriterLeavesLimitsToTheReader) {
  const std::filesystem::path empty = WriteSelectionRequest(false, {});
  EXPECT_EQ(ReadAll(empty), Header(0, 0));
  EXPECT_THROW(ReadSelectionRequest(empty), std::runtime_error);
  std::filesystem::remove(empty);

  const std::filesystem::path blank = WriteSelectionRequest(false, {L""});
  EXPECT_EQ(ReadAll(blank).size(), 16u);
  std::filesystem::remove(blank);
}

TEST_F(RequestFileTest, CountLimits) {
  Bytes full = Header(0, 100000);
  for (uint32_t i = 0; i < 100000; ++i) AppendPath(full, L"p");
  const SelectionRequest request = ReadSelectionRequest(Write(full));
  EXPECT_EQ(request.paths.size(), 100000u);

  Bytes over = Header(0, 100001);
  for (uint32_t i = 0; i < 100001; ++i) AppendPath(over, L"p");
  EXPECT_EQ(FailureOf(over), "Invalid selection request.");
  EXPECT_EQ(FailureOf(Header(0, 0)), "Invalid selection request.");
}

TEST_F(RequestFileTest, HeaderChecks) {
  Bytes kind_two = Header(2, 1);
  AppendPath(kind_two, L"a");
  EXPECT_EQ(FailureOf(kind_two), "Invalid selection request.");

  Bytes signature = Header(0, 1);
  signature[3] = 0x4C;
  AppendPath(signature, L"a");
  EXPECT_EQ(FailureOf(signature), "Invalid selection request.");

  EXPECT_EQ(FailureOf({}), "Invalid selection request.");
}

TEST_F(RequestFileTest, MissingFileIsAnInvalidRequest) {
  try {
    ReadSelectionRequest(folder_ / "absent.request");
    FAIL() << "read a missing file";
  } catch (const std::exception& failure) {
    EXPECT_STREQ(failure.what(), "Invalid selection request.");
  }
}

TEST_F(RequestFileTest, PathLengthLimits) {
  Bytes longest = Header(1, 1);
  AppendPath(longest, std::wstring(32767, L'x'));
  const SelectionRequest request = ReadSelectionRequest(Write(longest));
  EXPECT_TRUE(request.pack);
  EXPECT_EQ(request.paths.at(0).size(), 32767u);

  Bytes too_long = Header(0, 1);
  AppendPath(too_long, std::wstring(32768, L'x'));
  EXPECT_EQ(FailureOf(too_long), "Invalid path length.");

  Bytes zero = Header(0, 1);
  AppendUInt32(zero, 0);
  EXPECT_EQ(FailureOf(zero), "Invalid path length.");
}

TEST_F(RequestFileTest, FewerRecordsThanCountAndCutPaths) {
  Bytes fewer = Header(0, 3);
  AppendPath(fewer, L"one");
  AppendPath(fewer, L"two");
  EXPECT_EQ(FailureOf(fewer), "Invalid path length.");

  Bytes cut = Header(0, 1);
  AppendPath(cut, L"abcdef");
  cut.resize(cut.size() - 3);
  EXPECT_EQ(FailureOf(cut), "Invalid selection path.");
}

TEST_F(RequestFileTest, CodeUnitZeroAnywhereIsRefused) {
  for (const std::wstring& path : {std::wstring(L"\0bc", 3), std::wstring(L"a\0c", 3),
                                   std::wstring(L"ab\0", 3), std::wstring(L"\0", 1)}) {
    Bytes bytes = Header(0, 1);
    AppendPath(bytes, path);
    EXPECT_EQ(FailureOf(bytes), "Invalid selection path.");
  }
}

TEST_F(RequestFileTest, BytesAfterTheLastRecordAreIgnored) {
  Bytes bytes = Header(0, 1);
  AppendPath(bytes, L"a.zip");
  bytes.insert(bytes.end(), {0xFF, 0x00, 0x12, 0x34, 0x56});
  const SelectionRequest request = ReadSelectionRequest(Write(bytes));
  EXPECT_EQ(request.paths, std::vector<std::wstring>{L"a.zip"});
}

// Classifies a prefix of the file built below by where it ends: the header
// (judged by the bytes present), a length field, or inside a path.
std::string ExpectedFailureForPrefix(size_t size, const std::vector<std::wstring>& paths) {
  if (size < 9) return "Invalid selection request.";  // count missing or zero
  size_t offset = 12;
  for (const std::wstring& path : paths) {
    if (size <= offset) return "Invalid path length.";  // the length reads as 0
    // Every length here is below 256, so one byte of it is enough to be valid.
    if (size < offset + 4 + 2 * path.size()) return "Invalid selection path.";
    offset += 4 + 2 * path.size();
  }
  return "";
}

TEST_F(RequestFileTest, EveryPrefixOfAValidFileGivesItsExactFailure) {
  const std::vector<std::wstring> paths = {L"C:\\a.zip", L"x", L"\u00e9\u00e9.7z"};
  Bytes bytes = Header(1, static_cast<uint32_t>(paths.size()));
  for (const std::wstring& path : paths) AppendPath(bytes, path);
  for (size_t size = 0; size <= bytes.size(); ++size) {
    const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size));
    EXPECT_EQ(FailureOf(prefix), ExpectedFailureForPrefix(size, paths)) << "prefix " << size;
  }
}

TEST_F(RequestFileTest, MissingTemporaryFolderFailsTheWrite) {
  wchar_t saved[32768] = {};
  const DWORD saved_length = GetEnvironmentVariableW(L"TMP", saved, 32768);
  const std::wstring missing = (folder_ / "missing").wstring();
  SetEnvironmentVariableW(L"TMP", missing.c_str());
  std::string failure;
  try {
    std::filesystem::remove(WriteSelectionRequest(false, {L"a.zip"}));
  } catch (const std::exception& error) {
    failure = error.what();
  }
  SetEnvironmentVariableW(L"TMP", saved_length ? saved : nullptr);
  EXPECT_EQ(failure.rfind("temp_directory_path", 0), 0u) << failure;
}

}  // namespace
}  // namespace cindral
