#include "app/jobs/engine_streams.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/jobs/job_test_folder.h"

namespace cindral {
namespace {

using StreamTest = testing::JobFolderTest;

std::string ThrownText(auto&& action) {
  try {
    action();
  } catch (const std::exception& failure) {
    return failure.what();
  }
  return "(nothing thrown)";
}

TEST_F(StreamTest, InputReadsAndSeeksFromEveryOrigin) {
  const auto path = WriteFile(L"in.bin", "0123456789");
  ComPtr<Input> input = Input::Open(path.wstring());
  char buffer[16] = {};
  abi::UInt32 processed = 99;
  ASSERT_EQ(input->Read(buffer, 4, &processed), S_OK);
  EXPECT_EQ(processed, 4u);
  EXPECT_EQ(std::string(buffer, 4), "0123");

  abi::UInt64 position = 0;
  ASSERT_EQ(input->Seek(2, abi::kSeekCurrent, &position), S_OK);
  EXPECT_EQ(position, 6u);
  ASSERT_EQ(input->Seek(-3, abi::kSeekEnd, &position), S_OK);
  EXPECT_EQ(position, 7u);
  ASSERT_EQ(input->Read(buffer, 16, &processed), S_OK);
  EXPECT_EQ(std::string(buffer, processed), "789");
  // At the end a read succeeds with nothing.
  ASSERT_EQ(input->Read(buffer, 16, &processed), S_OK);
  EXPECT_EQ(processed, 0u);
  ASSERT_EQ(input->Seek(1, abi::kSeekSet, nullptr), S_OK);
  ASSERT_EQ(input->Read(buffer, 1, nullptr), S_OK);
  EXPECT_EQ(buffer[0], '1');

  EXPECT_EQ(input->Seek(0, 7, &position), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(input->Seek(-20, abi::kSeekSet, &position), HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK));
}

TEST_F(StreamTest, InputSharesTheFileWithWritersAndDeleters) {
  const auto path = WriteFile(L"shared.bin", "abc");
  ComPtr<Input> input = Input::Open(path.wstring());
  UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(writer.IsValid()) << GetLastError();
}

TEST_F(StreamTest, InputFailureNamesTheErrorAndThePathInUtf8) {
  const std::wstring missing = (folder_ / L"m\u00e4ngel.zip").wstring();
  std::string expected_path;
  for (const wchar_t unit : (folder_ / L"m").wstring()) expected_path += static_cast<char>(unit);
  expected_path += "\xC3\xA4ngel.zip";
  EXPECT_EQ(ThrownText([&] { Input::Open(missing); }),
            "Cannot read source file (Windows 2): " + expected_path);
}

TEST_F(StreamTest, OutputWritesSeeksAndTruncates) {
  const auto path = folder_ / "out.bin";
  {
    ComPtr<Output> output = Output::Create(path.wstring());
    abi::UInt32 processed = 0;
    ASSERT_EQ(output->Write("abcdefgh", 8, &processed), S_OK);
    EXPECT_EQ(processed, 8u);
    abi::UInt64 position = 0;
    ASSERT_EQ(output->Seek(2, abi::kSeekSet, &position), S_OK);
    ASSERT_EQ(output->Write("XY", 2, nullptr), S_OK);

    ASSERT_EQ(output->SetSize(5), S_OK);
    ASSERT_EQ(output->Seek(0, abi::kSeekCurrent, &position), S_OK);
    EXPECT_EQ(position, 5u) << "the position is left at the new end";
    ASSERT_EQ(output->Write("!", 1, nullptr), S_OK);

    // Growing is allowed too; the gap reads as zeros.
    ASSERT_EQ(output->SetSize(8), S_OK);
  }
  EXPECT_EQ(ReadFile(path), std::string("abXYe!\0\0", 8));
}

TEST_F(StreamTest, OutputNeverOpensAnExistingFileAndSharesNothing) {
  const auto existing = WriteFile(L"taken.bin", "keep");
  EXPECT_EQ(ThrownText([&] { Output::Create(existing.wstring()); }),
            "Cannot create temporary output.");
  EXPECT_EQ(ReadFile(existing), "keep");

  const auto path = folder_ / "exclusive.bin";
  ComPtr<Output> output = Output::Create(path.wstring());
  UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(reader.IsValid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(StreamTest, InterfaceIdentitiesAndCounts) {
  const auto path = WriteFile(L"q.bin", "x");
  ComPtr<Input> input = Input::Open(path.wstring());
  for (const GUID& iid : {__uuidof(IUnknown), abi::kIidInStream, abi::kIidSequentialInStream}) {
    void* answered = nullptr;
    ASSERT_EQ(input->QueryInterface(iid, &answered), S_OK);
    EXPECT_EQ(answered, static_cast<abi::IInStream*>(input.Get()));
    EXPECT_EQ(input->Release(), 1u);
  }
  void* answered = reinterpret_cast<void*>(1);
  EXPECT_EQ(input->QueryInterface(abi::kIidOutStream, &answered), E_NOINTERFACE);
  EXPECT_EQ(answered, nullptr);
  EXPECT_EQ(input->QueryInterface(abi::kIidStreamGetSize, &answered), E_NOINTERFACE);

  ComPtr<Output> output = Output::Create((folder_ / "o.bin").wstring());
  for (const GUID& iid : {__uuidof(IUnknown), abi::kIidOutStream, abi::kIidSequentialOutStream}) {
    ASSERT_EQ(output->QueryInterface(iid, &answered), S_OK);
    EXPECT_EQ(answered, static_cast<abi::IOutStream*>(output.Get()));
    EXPECT_EQ(output->Release(), 1u);
  }
  EXPECT_EQ(output->QueryInterface(abi::kIidInStream, &answered), E_NOINTERFACE);
  EXPECT_EQ(output->AddRef(), 2u);
  EXPECT_EQ(output->Release(), 1u);
}

TEST(WindowsResultTest, ConvertsLikeHresultFromWin32AndNeverReportsSuccess) {
  EXPECT_EQ(ResultFromWin32(ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005));
  EXPECT_EQ(ResultFromWin32(ERROR_CRC), static_cast<HRESULT>(0x80070017));
  EXPECT_EQ(ResultFromWin32(0x12345678), static_cast<HRESULT>(0x80075678));
  EXPECT_EQ(ResultFromWin32(0), E_FAIL);
}

}  // namespace
}  // namespace cindral
