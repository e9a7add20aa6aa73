// Invoke from a copy of the extension in a folder of its own, beside a
// recording program named Vantle.exe: the exact command line, the request
// file and what the program's reader makes of it.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/file_system.h"
#include "common/selection_request.h"
#include "tests/e2e/process_runner.h"
#include "tests/shell/shell_module_host.h"
#include "tests/shell/utf8_text.h"

namespace cindral {
namespace {

using testing::FakeItem;
using testing::MakeFakeItemArray;
using testing::Utf8;

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    files.push_back(entry.path());
  return files;
}

class InvokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Blanks, a quotation-free apostrophe and dots in every folder the
    // command line names.
    // A folder per test: the previous test's recorder may still be exiting.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    root_ = std::filesystem::temp_directory_path() /
            (L"cindral invoke " + std::to_wstring(GetCurrentProcessId()) + L" " +
             std::wstring(test.begin(), test.end()));
    install_ = root_ / L"Program Files" / L"Vantle 26.04";
    temp_ = root_ / L"user's temp";
    std::filesystem::create_directories(install_);
    std::filesystem::create_directories(temp_);
    const std::filesystem::path bin = testing::DistFolder().parent_path() / "bin";
    std::filesystem::copy_file(testing::DistFolder() / "Cindral.Shell.dll",
                               install_ / "Cindral.Shell.dll");
    std::filesystem::copy_file(bin / "recording_vantle.exe", install_ / "Vantle.exe");
    // The request writer puts its file into the temporary folder of TMP.
    saved_tmp_ = ReadVariable(L"TMP");
    saved_temp_ = ReadVariable(L"TEMP");
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", temp_.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", temp_.c_str()));
    ASSERT_EQ(TemporaryFolder(), temp_ / "");
    module_ = std::make_unique<testing::ShellModule>(install_ / "Cindral.Shell.dll");
    ASSERT_TRUE(module_->IsLoaded());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TMP", saved_tmp_.c_str());
    SetEnvironmentVariableW(L"TEMP", saved_temp_.c_str());
    module_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // The recorder's lines, once it has written them all.
  std::vector<std::string> WaitForRecord() {
    const std::filesystem::path record = install_ / "record.txt";
    for (int waited = 0; waited < 60000 && !std::filesystem::exists(record); waited += 50)
      Sleep(50);
    std::ifstream stream(record, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }

  static std::wstring ReadVariable(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), 32768));
    return value;
  }

  std::wstring saved_tmp_, saved_temp_;
  std::filesystem::path root_, install_, temp_;
  std::unique_ptr<testing::ShellModule> module_;
};

TEST_F(InvokeTest, StartsVantleWithAQuotedRequestItCanRead) {
  ComPtr<IExplorerCommand> pack = module_->MakeCommand(testing::kPackClass);
  ASSERT_TRUE(pack);
  // Paths travel in the file, never on the command line: quotation marks,
  // trailing backslashes and blanks arrive exactly.
  const std::vector<std::wstring> paths = {L"C:\\My Files\\report.docx", L"C:\\odd \"name\"\\",
                                           L"D:\\trailing\\\\", L"C:\\\u00e9t\u00e9 2020"};
  std::vector<FakeItem> items;
  for (const std::wstring& path : paths) items.push_back({path});
  ASSERT_EQ(pack->Invoke(MakeFakeItemArray(items).Get(), nullptr), S_OK);

  const std::vector<std::filesystem::path> requests = FilesIn(temp_);
  ASSERT_EQ(requests.size(), 1u);
  const std::filesystem::path request = requests.front();
  const std::wstring name = request.filename().wstring();
  EXPECT_EQ(name.size(), 8u + 38u + 8u) << Utf8(name);
  EXPECT_EQ(name.substr(0, 9), L"Cindral-{");
  EXPECT_EQ(name.substr(name.size() - 9), L"}.request");

  const std::vector<std::string> record = WaitForRecord();
  const std::wstring program = (install_ / "Vantle.exe").wstring();
  std::vector<std::string> expected = {
      "command line: \"" + Utf8(program) + "\" --request \"" + Utf8(request.wstring()) + "\"",
      "current folder: " + Utf8(install_.wstring()),
      "argument: " + Utf8(program),
      "argument: --request",
      "argument: " + Utf8(request.wstring()),
      "pack: 1"};
  for (const std::wstring& path : paths) expected.push_back("path: " + Utf8(path));
  EXPECT_EQ(record, expected);

  // The bytes as the reader's format has them: header, then each path.
  std::ifstream stream(request, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(stream)), {});
  ASSERT_GE(bytes.size(), 12u);
  EXPECT_EQ(bytes.substr(0, 12), std::string("1RVK\1\0\0\0\4\0\0\0", 12));
  size_t expected_size = 12;
  for (const std::wstring& path : paths) expected_size += 4 + 2 * path.size();
  EXPECT_EQ(bytes.size(), expected_size);
}

TEST_F(InvokeTest, ExtractWritesKindZeroInSelectionOrder) {
  ComPtr<IExplorerCommand> extract = module_->MakeCommand(testing::kExtractClass);
  ASSERT_TRUE(extract);
  // A virtual item in the middle is left out; the order stays.
  ASSERT_EQ(
      extract->Invoke(MakeFakeItemArray({{L"C:\\b.7z"}, {L""}, {L"C:\\a.zip"}}).Get(), nullptr),
      S_OK);
  const std::vector<std::string> record = WaitForRecord();
  ASSERT_GE(record.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(record.end() - 3, record.end()),
            (std::vector<std::string>{"pack: 0", "path: C:\\b.7z", "path: C:\\a.zip"}));
}

TEST_F(InvokeTest, MissingProgramLeavesNoRequestBehind) {
  std::filesystem::remove(install_ / "Vantle.exe");
  ComPtr<IExplorerCommand> extract = module_->MakeCommand(testing::kExtractClass);
  ASSERT_TRUE(extract);
  EXPECT_EQ(extract->Invoke(MakeFakeItemArray({{L"C:\\a.zip"}}).Get(), nullptr),
            static_cast<HRESULT>(0x80070002));
  EXPECT_EQ(FilesIn(temp_), std::vector<std::filesystem::path>{});
}

TEST_F(InvokeTest, EmptySelectionWritesNothing) {
  ComPtr<IExplorerCommand> pack = module_->MakeCommand(testing::kPackClass);
  ASSERT_TRUE(pack);
  EXPECT_EQ(pack->Invoke(MakeFakeItemArray({}).Get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(FilesIn(temp_), std::vector<std::filesystem::path>{});
  EXPECT_FALSE(std::filesystem::exists(install_ / "record.txt.tmp"));
}

TEST_F(InvokeTest, MissingTemporaryFolderFailsWithoutStarting) {
  ComPtr<IExplorerCommand> pack = module_->MakeCommand(testing::kPackClass);
  ASSERT_TRUE(pack);
  ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", (root_ / L"gone").c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", (root_ / L"gone").c_str()));
  EXPECT_EQ(pack->Invoke(MakeFakeItemArray({{L"C:\\a.txt"}}).Get(), nullptr), E_FAIL);
}

}  // namespace
}  // namespace cindral
