// The callbacks driven in-process the way the engine drives them, against
// real files and folders and a shared state that a thread answers as the
// interface would.
#include "app/jobs/engine_callbacks.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/entry/worker_shared_state.h"
#include "app/jobs/engine_binding.h"
#include "app/jobs/job_host.h"
#include "tests/jobs/job_test_folder.h"
#include "tests/jobs/recording_job_host.h"

namespace cindral {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kWrongPassword[] = L"Incorrect password / Onjuist wachtwoord.";
constexpr wchar_t kDamaged[] =
    L"Archive is damaged or uses an unsupported codec / Archief beschadigd of codec niet "
    L"ondersteund.";
constexpr wchar_t kNotice[] =
    L"ZIP onvolledig: minstens \u00e9\u00e9n ontbrekend of onleesbaar bestand is overgeslagen / "
    L"ZIP incomplete: at least one missing or unreadable file was skipped:\n";

// A shared state with a worker's host over it, as a worker's job has.
struct SharedJob : WorkerSharedState {
  SharedStateJobHost host{*this};
};

std::unique_ptr<SharedJob> NewSharedState() { return std::make_unique<SharedJob>(); }

JobHost& Headless() {
  static HeadlessJobHost host;
  return host;
}

std::wstring Message(const WorkerSharedState& state) { return ReadSharedText(state.message); }
std::wstring CurrentItem(const WorkerSharedState& state) {
  return ReadSharedText(state.current_item);
}

// Plays the interface for one prompt: waits for it, remembers its subject
// and answers.
class PromptAnswerer {
 public:
  PromptAnswerer(WorkerSharedState& state, PromptAnswer answer,
                 std::optional<std::wstring> password = std::nullopt)
      : thread_([this, &state, answer, password] {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
          while (!IsPromptDue(state)) {
            if (std::chrono::steady_clock::now() > deadline) return;
            Sleep(5);
          }
          subject_ = CurrentItem(state);
          kind_ = static_cast<PromptKind>(state.prompt_kind);
          if (password)
            AnswerWorkerPrompt(state, answer, std::wstring_view(*password));
          else
            AnswerWorkerPrompt(state, answer);
        }) {}
  ~PromptAnswerer() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  const std::wstring& subject() const { return subject_; }
  PromptKind kind() const { return kind_; }

 private:
  std::wstring subject_;
  PromptKind kind_ = PromptKind::None;
  std::thread thread_;
};

FILETIME MakeFileTime(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

uint64_t LastWriteTicks(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

bool IsOpenWithoutSharing(const fs::path& path) {
  UniqueHandle probe(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  return !probe.IsValid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

// --- Password --------------------------------------------------------------

TEST(RequestArchivePasswordTest, HeadlessNeverAsks) {
  BSTR password = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(RequestArchivePassword(Headless(), &password), E_ABORT);
  EXPECT_EQ(password, nullptr);
}

TEST(RequestArchivePasswordTest, AsksOnceAndReusesTheStoredPassword) {
  auto state = NewSharedState();
  {
    PromptAnswerer answerer(*state, PromptAnswer::PasswordGiven, L"s3cr\u00e9t");
    UniqueBstr password;
    ASSERT_EQ(RequestArchivePassword(state->host, password.Put()), S_OK);
    answerer.Join();
    EXPECT_EQ(answerer.kind(), PromptKind::Password);
    EXPECT_EQ(answerer.subject(), L"Password");
    EXPECT_EQ(std::wstring(password.Get()), L"s3cr\u00e9t");
    EXPECT_EQ(state->prompt_kind, 0);
  }
  // Nobody answers now: a second prompt would hang, so returning at all shows
  // that none was raised.
  InterlockedExchange(&state->prompt_answer, 0);
  UniqueBstr again;
  ASSERT_EQ(RequestArchivePassword(state->host, again.Put()), S_OK);
  EXPECT_EQ(std::wstring(again.Get()), L"s3cr\u00e9t");
  EXPECT_EQ(state->prompt_answer, 0);
}

TEST(RequestArchivePasswordTest, EmptyPasswordIsAnEmptyString) {
  auto state = NewSharedState();
  PromptAnswerer answerer(*state, PromptAnswer::PasswordGiven, L"");
  UniqueBstr password;
  ASSERT_EQ(RequestArchivePassword(state->host, password.Put()), S_OK);
  ASSERT_NE(password.Get(), nullptr);
  EXPECT_EQ(SysStringLen(password.Get()), 0u);
}

TEST(RequestArchivePasswordTest, CancelAndRefusalEndTheRequest) {
  auto state = NewSharedState();
  {
    PromptAnswerer answerer(*state, PromptAnswer::Skip);
    UniqueBstr password;
    EXPECT_EQ(RequestArchivePassword(state->host, password.Put()), E_ABORT);
    EXPECT_EQ(password.Get(), nullptr);
    EXPECT_EQ(Message(*state), L"");
  }
  {
    PromptAnswerer answerer(*state, PromptAnswer::Cancel);
    UniqueBstr password;
    EXPECT_EQ(RequestArchivePassword(state->host, password.Put()), E_FAIL);
    EXPECT_EQ(password.Get(), nullptr);
    EXPECT_EQ(Message(*state), L"Cancelled.");
    EXPECT_EQ(state->prompt_kind, 0);
  }
}

// --- OpenCallback ----------------------------------------------------------

TEST(OpenCallbackTest, ProgressStopsOnCancelOnly) {
  auto state = NewSharedState();
  ComPtr<OpenCallback> callback = OpenCallback::Create(state->host);
  const abi::UInt64 files = 3;
  EXPECT_EQ(callback->SetTotal(&files, nullptr), S_OK);
  EXPECT_EQ(callback->SetCompleted(nullptr, &files), S_OK);
  RequestWorkerStop(*state);
  EXPECT_EQ(callback->SetTotal(&files, nullptr), E_ABORT);
  EXPECT_EQ(callback->SetCompleted(nullptr, nullptr), E_ABORT);
  EXPECT_EQ(state->total, 0) << "open progress reports nothing";

  ComPtr<OpenCallback> headless = OpenCallback::Create(Headless());
  EXPECT_EQ(headless->SetTotal(&files, &files), S_OK);
  UniqueBstr password;
  EXPECT_EQ(headless->CryptoGetTextPassword(password.Put()), E_ABORT);
}

// Both interface pointers belong to one object with one count.
template <typename Callback, typename First>
void ExpectTwoInterfaceIdentity(Callback* callback, const std::vector<GUID>& first_ids) {
  First* first = static_cast<First*>(callback);
  auto* second = static_cast<abi::ICryptoGetTextPassword*>(callback);
  ASSERT_NE(static_cast<void*>(first), static_cast<void*>(second));
  for (const GUID& iid : first_ids) {
    void* answered = nullptr;
    ASSERT_EQ(second->QueryInterface(iid, &answered), S_OK);
    EXPECT_EQ(answered, static_cast<void*>(first));
    EXPECT_EQ(first->Release(), 1u);
  }
  void* answered = nullptr;
  ASSERT_EQ(first->QueryInterface(abi::kIidCryptoGetTextPassword, &answered), S_OK);
  EXPECT_EQ(answered, static_cast<void*>(second));
  EXPECT_EQ(second->AddRef(), 3u);
  EXPECT_EQ(first->Release(), 2u);
  EXPECT_EQ(second->Release(), 1u);
  answered = reinterpret_cast<void*>(1);
  EXPECT_EQ(first->QueryInterface(abi::kIidArchiveUpdateCallback, &answered), E_NOINTERFACE);
  EXPECT_EQ(answered, nullptr);
  EXPECT_EQ(second->QueryInterface(abi::kIidInStream, &answered), E_NOINTERFACE);
}

// The engine may add and drop references from threads of its own, through
// either interface.
TEST(OpenCallbackTest, ReferenceCountIsSharedAcrossThreadsAndInterfaces) {
  ComPtr<OpenCallback> callback = OpenCallback::Create(Headless());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&callback, t] {
      IUnknown* through = static_cast<abi::IArchiveOpenCallback*>(callback.Get());
      if (t % 2 != 0) through = static_cast<abi::ICryptoGetTextPassword*>(callback.Get());
      for (int i = 0; i < 200000; ++i) {
        through->AddRef();
        through->Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(callback->AddRef(), 2u);
  EXPECT_EQ(callback->Release(), 1u);
}

TEST(OpenCallbackTest, InterfaceIdentities) {
  ComPtr<OpenCallback> callback = OpenCallback::Create(Headless());
  ExpectTwoInterfaceIdentity<OpenCallback, abi::IArchiveOpenCallback>(
      callback.Get(), {__uuidof(IUnknown), abi::kIidArchiveOpenCallback});
  void* answered = nullptr;
  EXPECT_EQ(callback->QueryInterface(abi::kIidProgress, &answered), E_NOINTERFACE);
}

// --- ExtractCallback -------------------------------------------------------

class ExtractCallbackTest : public testing::JobFolderTest {
 protected:
  void SetUp() override {
    JobFolderTest::SetUp();
    staging_ = folder_ / L".Cindral-staging";
    fs::create_directory(staging_);
  }

  ComPtr<ExtractCallback> MakeCallback(JobHost& host) {
    return ExtractCallback::Create(host, staging_.wstring(), &items_);
  }

  // GetStream as the engine calls it, taking the engine's reference.
  static HRESULT Ask(const ComPtr<ExtractCallback>& callback, abi::UInt32 index, abi::Int32 mode,
                     ComPtr<abi::ISequentialOutStream>& stream) {
    return callback->GetStream(index, stream.Put(), mode);
  }

  fs::path staging_;
  std::vector<ExtractItem> items_;
};

TEST_F(ExtractCallbackTest, ProgressReachesTheSharedStateAndCancelAborts) {
  auto state = NewSharedState();
  ComPtr<ExtractCallback> callback = MakeCallback(state->host);
  EXPECT_EQ(callback->SetTotal(1000), S_OK);
  EXPECT_EQ(callback->SetTotal(0), S_OK);
  EXPECT_EQ(state->total, 1000) << "a total of 0 leaves the counter";
  const abi::UInt64 done = 250;
  EXPECT_EQ(callback->SetCompleted(&done), S_OK);
  EXPECT_EQ(callback->SetCompleted(nullptr), S_OK);
  EXPECT_EQ(state->completed, 250);
  EXPECT_EQ(callback->PrepareOperation(abi::kAskExtract), S_OK);

  items_.push_back({L"a.txt", false, {}, false});
  RequestWorkerStop(*state);
  EXPECT_EQ(callback->SetTotal(5), E_ABORT);
  EXPECT_EQ(callback->SetCompleted(&done), E_ABORT);
  EXPECT_EQ(callback->PrepareOperation(abi::kAskExtract), E_ABORT);
  ComPtr<abi::ISequentialOutStream> stream;
  EXPECT_EQ(Ask(callback, 0, abi::kAskExtract, stream), E_ABORT);
  EXPECT_FALSE(stream);
  EXPECT_FALSE(fs::exists(staging_ / "a.txt"));
}

// What the engine's calls become for the job's host, in the engine's order;
// an unsafe item's reason reaches the host instead of being lost.
TEST_F(ExtractCallbackTest, TheHostHearsEveryReportInOrder) {
  items_ = {{L"caf\u00e9 \U0001D11E.txt", false, {}, false}, {L"..\\out.txt", false, {}, false}};
  testing::RecordingJobHost host;
  ComPtr<ExtractCallback> callback = MakeCallback(host);
  EXPECT_EQ(callback->SetTotal(10), S_OK);
  ComPtr<abi::ISequentialOutStream> stream;
  ASSERT_EQ(Ask(callback, 0, abi::kAskExtract, stream), S_OK);
  const abi::UInt64 done = 4;
  EXPECT_EQ(callback->SetCompleted(&done), S_OK);
  stream.Reset();
  EXPECT_EQ(callback->SetOperationResult(abi::kResultCrcError), E_FAIL);
  EXPECT_EQ(Ask(callback, 1, abi::kAskExtract, stream), E_FAIL);
  host.cancel = true;
  EXPECT_EQ(callback->SetCompleted(&done), E_ABORT);
  EXPECT_EQ(host.Events(), (std::vector<std::wstring>{
                               L"total 10", L"item caf\u00e9 \U0001D11E.txt", L"completed 4",
                               std::wstring(L"failure ") + kDamaged, L"item ..\\out.txt",
                               L"failure Unsafe archive path component.",
                               L"completed 4",  // progress is kept even when it cancels
                           }));
}

// No volume has an exbibyte free; the staging volume has a few bytes.
TEST_F(ExtractCallbackTest, TotalBeyondTheFreeSpaceAbortsBeforeAnyStream) {
  items_.push_back({L"a.txt", false, {}, false});
  const auto state = NewSharedState();
  for (JobHost* host : {&Headless(), static_cast<JobHost*>(&state->host)}) {
    ComPtr<ExtractCallback> callback = MakeCallback(*host);
    EXPECT_EQ(callback->SetTotal(uint64_t{1} << 60), E_ABORT);
    EXPECT_TRUE(callback->LacksFreeSpace());
    ComPtr<ExtractCallback> small = MakeCallback(*host);
    EXPECT_EQ(small->SetTotal(4096), S_OK);
    EXPECT_FALSE(small->LacksFreeSpace());
  }
  EXPECT_TRUE(fs::is_empty(staging_));
}

TEST_F(ExtractCallbackTest, HeadlessIsNeverCancelledAndStillWrites) {
  items_.push_back({L"dir\\f.bin", false, {}, false});
  ComPtr<ExtractCallback> callback = MakeCallback(Headless());
  EXPECT_EQ(callback->SetTotal(9), S_OK);
  EXPECT_EQ(callback->PrepareOperation(abi::kAskExtract), S_OK);
  ComPtr<abi::ISequentialOutStream> stream;
  ASSERT_EQ(Ask(callback, 0, abi::kAskExtract, stream), S_OK);
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->Write("data", 4, nullptr), S_OK);
  stream.Reset();
  EXPECT_EQ(callback->SetOperationResult(abi::kResultOk), S_OK);
  callback.Reset();
  EXPECT_EQ(ReadFile(staging_ / "dir" / "f.bin"), "data");
}

TEST_F(ExtractCallbackTest, FoldersAndFilesAreMadeInTheStagingFolder) {
  const uint64_t time = 133000000000000000ull;
  items_ = {
      {L"top\\empty", true, {}, false},
      {L"top\\deep\\er\\file.txt", false, MakeFileTime(time), true},
      {L"skipped.txt", false, {}, false},
      {L"top\\untimed.txt", false, {}, false},
  };
  auto state = NewSharedState();
  ComPtr<ExtractCallback> callback = MakeCallback(state->host);

  ComPtr<abi::ISequentialOutStream> stream;
  ASSERT_EQ(Ask(callback, 0, abi::kAskExtract, stream), S_OK);
  EXPECT_FALSE(stream);
  EXPECT_TRUE(fs::is_directory(staging_ / "top" / "empty"));
  EXPECT_TRUE(items_[0].staged);
  EXPECT_EQ(CurrentItem(*state), L"top\\empty");
  EXPECT_EQ(callback->SetOperationResult(abi::kResultOk), S_OK);

  ASSERT_EQ(Ask(callback, 1, abi::kAskExtract, stream), S_OK);
  ASSERT_TRUE(stream);
  EXPECT_EQ(CurrentItem(*state), L"top\\deep\\er\\file.txt");
  abi::UInt32 written = 0;
  ASSERT_EQ(stream->Write("hello", 5, &written), S_OK);
  EXPECT_EQ(written, 5u);
  EXPECT_FALSE(items_[1].staged) << "a file is staged once it is reported sound";
  EXPECT_EQ(callback->SetOperationResult(abi::kResultOk), S_OK);
  EXPECT_TRUE(items_[1].staged);
  stream.Reset();  // the engine lets go after reporting
  const fs::path file = staging_ / "top" / "deep" / "er" / "file.txt";
  EXPECT_EQ(ReadFile(file), "hello");
  EXPECT_EQ(LastWriteTicks(file), time);

  // Test and skip modes name the item but write nothing.
  ASSERT_EQ(Ask(callback, 2, abi::kAskTest, stream), S_OK);
  EXPECT_FALSE(stream);
  EXPECT_EQ(CurrentItem(*state), L"skipped.txt");
  ASSERT_EQ(Ask(callback, 2, abi::kAskSkip, stream), S_OK);
  EXPECT_FALSE(stream);
  EXPECT_FALSE(fs::exists(staging_ / "skipped.txt"));
  EXPECT_FALSE(items_[2].staged);

  // Without a known time the file keeps the time of its writing.
  ASSERT_EQ(Ask(callback, 3, abi::kAskExtract, stream), S_OK);
  ASSERT_TRUE(stream);
  EXPECT_EQ(callback->SetOperationResult(abi::kResultOk), S_OK);
  stream.Reset();
  EXPECT_NE(LastWriteTicks(staging_ / "top" / "untimed.txt"), time);
  EXPECT_FALSE(callback->HasFailedItem());
  EXPECT_EQ(Message(*state), L"");
}

TEST_F(ExtractCallbackTest, NextGetStreamDropsTheUnfinishedOutput) {
  items_ = {{L"first.bin", false, {}, false}, {L"second.bin", false, {}, false}};
  ComPtr<ExtractCallback> callback = MakeCallback(Headless());
  ComPtr<abi::ISequentialOutStream> first;
  ASSERT_EQ(Ask(callback, 0, abi::kAskExtract, first), S_OK);
  ASSERT_TRUE(first);
  ComPtr<abi::ISequentialOutStream> second;
  ASSERT_EQ(Ask(callback, 1, abi::kAskExtract, second), S_OK);
  // Only the engine's reference to the first file is left...
  EXPECT_EQ(first->AddRef(), 2u);
  EXPECT_EQ(first->Release(), 1u);
  EXPECT_TRUE(IsOpenWithoutSharing(staging_ / "first.bin"));
  // ...so the file closes as soon as the engine lets go.
  first.Reset();
  EXPECT_FALSE(IsOpenWithoutSharing(staging_ / "first.bin"));
  EXPECT_TRUE(IsOpenWithoutSharing(staging_ / "second.bin"));
}

TEST_F(ExtractCallbackTest, FailedItemsLeaveTheirReason) {
  items_ = {{L"locked.bin", false, {}, false}, {L"bad.bin", false, {}, false}};
  auto state = NewSharedState();
  ComPtr<ExtractCallback> callback = MakeCallback(state->host);
  ComPtr<abi::ISequentialOutStream> stream;
  ASSERT_EQ(Ask(callback, 0, abi::kAskExtract, stream), S_OK);
  EXPECT_EQ(callback->SetOperationResult(abi::kResultWrongPassword), E_FAIL);
  EXPECT_TRUE(callback->HasFailedItem());
  EXPECT_EQ(Message(*state), kWrongPassword);
  // The callback's reference is gone with the report; the engine's remains.
  EXPECT_EQ(stream->AddRef(), 2u);
  EXPECT_EQ(stream->Release(), 1u);

  ASSERT_EQ(Ask(callback, 1, abi::kAskExtract, stream), S_OK);
  EXPECT_EQ(callback->SetOperationResult(abi::kResultCrcError), E_FAIL);
  EXPECT_EQ(Message(*state), kDamaged);
  EXPECT_FALSE(items_[0].staged || items_[1].staged);
  EXPECT_EQ(callback->SetOperationResult(abi::kResultUnsupportedMethod), E_FAIL);
  EXPECT_EQ(Message(*state), kDamaged);
}

TEST_F(ExtractCallbackTest, StreamFailuresAreReportedNotThrown) {
  WriteFile(L".Cindral-staging\\exists.bin", "old");
  WriteFile(L".Cindral-staging\\plain", "not a folder");
  items_ = {
      {L"exists.bin", false, {}, false},
      {L"plain\\inside.bin", false, {}, false},
      {L"..\\escaped.bin", false, {}, false},
  };
  auto state = NewSharedState();
  ComPtr<ExtractCallback> callback = MakeCallback(state->host);
  ComPtr<abi::ISequentialOutStream> stream;

  EXPECT_EQ(Ask(callback, 0, abi::kAskExtract, stream), E_FAIL);
  EXPECT_EQ(Message(*state), L"Cannot create temporary output.");
  EXPECT_EQ(ReadFile(staging_ / "exists.bin"), "old");

  EXPECT_EQ(Ask(callback, 1, abi::kAskExtract, stream), E_FAIL);
  EXPECT_EQ(Message(*state), L"Reparse points in destination paths are blocked.");

  EXPECT_EQ(Ask(callback, 2, abi::kAskExtract, stream), E_FAIL);
  EXPECT_EQ(Message(*state), L"Unsafe archive path component.");
  EXPECT_FALSE(fs::exists(folder_ / "escaped.bin"));

  EXPECT_EQ(Ask(callback, 3, abi::kAskExtract, stream), E_FAIL);
  EXPECT_EQ(Message(*state), L"Archive item index out of range.");
  EXPECT_FALSE(stream);

  ComPtr<ExtractCallback> headless = MakeCallback(Headless());
  EXPECT_EQ(Ask(headless, 0, abi::kAskExtract, stream), E_FAIL);
}

TEST_F(ExtractCallbackTest, HandlesHeldFollowTheDepthNotTheNumberOfFolders) {
  // Thousands of folders with a file each once held a handle per folder
  // until the job ended, and ran the Wine server out of descriptors.
  constexpr unsigned kFolders = 2000;
  items_ = {{L"a\\f", false, {}, false},
            {L"a\\b\\f", false, {}, false},
            {L"A\\B\\c\\f", false, {}, false},  // the same a\b, whatever the letter case
            {L"a\\b\\c\\d", true, {}, false}};
  for (unsigned n = 0; n < kFolders; ++n)
    items_.push_back({L"w\\" + std::to_wstring(n) + L"\\f", false, {}, false});
  items_.push_back({L"a\\b\\g", false, {}, false});  // back to a folder let go of

  // The chain above the staging folder is held too: count its depth.
  size_t chain = 1;
  for (fs::path p = staging_; p.has_relative_path(); p = p.parent_path()) ++chain;
  constexpr size_t kDeepest = 4;

  DWORD handles_before = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handles_before));
  ComPtr<ExtractCallback> callback = MakeCallback(Headless());
  size_t most_held = 0;
  for (unsigned i = 0; i < items_.size(); ++i) {
    ComPtr<abi::ISequentialOutStream> stream;
    ASSERT_EQ(Ask(callback, i, abi::kAskExtract, stream), S_OK) << i;
    ASSERT_EQ(callback->SetOperationResult(abi::kResultOk), S_OK);
    most_held = std::max(most_held, callback->HeldDirectoryCount());
  }
  EXPECT_EQ(most_held, chain + kDeepest);
  EXPECT_EQ(callback->HeldDirectoryCount(), chain + 2) << "a and a\\b";
  DWORD handles_during = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handles_during));
  EXPECT_LE(handles_during, handles_before + chain + kDeepest + 16);
  callback.Reset();
  DWORD handles_after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handles_after));
  EXPECT_LE(handles_after, handles_before + 16);

  EXPECT_TRUE(fs::exists(staging_ / "a" / "b" / "c" / "f"));
  EXPECT_TRUE(fs::is_directory(staging_ / "a" / "b" / "c" / "d"));
  EXPECT_TRUE(fs::exists(staging_ / "a" / "b" / "g"));
  EXPECT_TRUE(fs::exists(staging_ / "w" / std::to_string(kFolders - 1) / "f"));
}

TEST_F(ExtractCallbackTest, LastReleaseThroughThePasswordInterfaceFreesEverything) {
  items_ = {{L"held.bin", false, {}, false}};
  ComPtr<ExtractCallback> callback = MakeCallback(Headless());
  ExpectTwoInterfaceIdentity<ExtractCallback, abi::IArchiveExtractCallback>(
      callback.Get(), {__uuidof(IUnknown), abi::kIidArchiveExtractCallback, abi::kIidProgress});

  ComPtr<abi::ISequentialOutStream> stream;
  ASSERT_EQ(Ask(callback, 0, abi::kAskExtract, stream), S_OK);
  stream.Reset();  // the engine let go; the callback still holds the file
  EXPECT_TRUE(IsOpenWithoutSharing(staging_ / "held.bin"));

  void* password = nullptr;
  ASSERT_EQ(callback->QueryInterface(abi::kIidCryptoGetTextPassword, &password), S_OK);
  ExtractCallback* raw = callback.Detach();
  EXPECT_EQ(raw->Release(), 1u);
  EXPECT_EQ(static_cast<abi::ICryptoGetTextPassword*>(password)->Release(), 0u);
  EXPECT_FALSE(IsOpenWithoutSharing(staging_ / "held.bin"));
}

TEST_F(ExtractCallbackTest, PasswordComesFromTheSharedState) {
  auto state = NewSharedState();
  ComPtr<ExtractCallback> callback = MakeCallback(state->host);
  PromptAnswerer answerer(*state, PromptAnswer::PasswordGiven, L"pw");
  UniqueBstr password;
  ASSERT_EQ(callback->CryptoGetTextPassword(password.Put()), S_OK);
  EXPECT_EQ(std::wstring(password.Get()), L"pw");
}

// --- UpdateCallback and skipped sources ------------------------------------

class UpdateCallbackTest : public testing::JobFolderTest {
 protected:
  ZipSourceItem FileItem(const std::wstring& name, const std::string& content) {
    const fs::path path = WriteFile(name, content);
    return {path.wstring(), L"top\\" + name, false, content.size(), MakeFileTime(1234567), 0x20};
  }
  std::vector<ZipSourceItem> items_;
};

TEST_F(UpdateCallbackTest, EveryItemIsNewWithItsProperties) {
  items_ = {
      {folder_.wstring(), L"top", true, 4096, MakeFileTime(777), FILE_ATTRIBUTE_DIRECTORY},
      FileItem(L"f.txt", "content"),
  };
  ComPtr<UpdateCallback> callback = UpdateCallback::Create(Headless(), &items_);
  abi::Int32 new_data = 0, new_properties = 0;
  abi::UInt32 index_in_archive = 0;
  ASSERT_EQ(callback->GetUpdateItemInfo(1, &new_data, &new_properties, &index_in_archive), S_OK);
  EXPECT_EQ(new_data, 1);
  EXPECT_EQ(new_properties, 1);
  EXPECT_EQ(index_in_archive, 0xFFFFFFFFu);

  UniquePropVariant value;
  ASSERT_EQ(callback->GetProperty(1, abi::kpidPath, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_BSTR);
  EXPECT_EQ(std::wstring(value.Get().bstrVal), L"top\\f.txt");
  ASSERT_EQ(callback->GetProperty(0, abi::kpidIsDirectory, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_BOOL);
  EXPECT_EQ(value.Get().boolVal, VARIANT_TRUE);
  ASSERT_EQ(callback->GetProperty(1, abi::kpidIsDirectory, value.Put()), S_OK);
  EXPECT_EQ(value.Get().boolVal, VARIANT_FALSE);
  ASSERT_EQ(callback->GetProperty(0, abi::kpidSize, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_UI8);
  EXPECT_EQ(value.Get().uhVal.QuadPart, 0u) << "folders have no size";
  ASSERT_EQ(callback->GetProperty(1, abi::kpidSize, value.Put()), S_OK);
  EXPECT_EQ(value.Get().uhVal.QuadPart, 7u);
  ASSERT_EQ(callback->GetProperty(0, abi::kpidAttributes, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_UI4);
  EXPECT_EQ(value.Get().ulVal, static_cast<ULONG>(FILE_ATTRIBUTE_DIRECTORY));
  ASSERT_EQ(callback->GetProperty(0, abi::kpidModificationTime, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_FILETIME);
  EXPECT_EQ(value.Get().filetime.dwLowDateTime, 777u);
  ASSERT_EQ(callback->GetProperty(1, abi::kpidCrc, value.Put()), S_OK);
  EXPECT_EQ(value.Get().vt, VT_EMPTY);
  EXPECT_EQ(callback->GetProperty(2, abi::kpidPath, value.Put()), E_FAIL);
  EXPECT_EQ(value.Get().vt, VT_EMPTY);

  EXPECT_EQ(callback->SetOperationResult(abi::kUpdateResultOk), S_OK);
  EXPECT_EQ(callback->SetOperationResult(2), E_FAIL);
}

TEST_F(UpdateCallbackTest, StreamsReadTheSourceFiles) {
  items_ = {
      {folder_.wstring(), L"top", true, 0, {}, FILE_ATTRIBUTE_DIRECTORY},
      FileItem(L"data.bin", "payload"),
  };
  auto state = NewSharedState();
  ComPtr<UpdateCallback> callback = UpdateCallback::Create(state->host, &items_);
  EXPECT_EQ(callback->SetTotal(0), S_OK);
  EXPECT_EQ(callback->SetTotal(64), S_OK);
  const abi::UInt64 done = 10;
  EXPECT_EQ(callback->SetCompleted(&done), S_OK);
  EXPECT_EQ(state->total, 64);
  EXPECT_EQ(state->completed, 10);

  ComPtr<abi::ISequentialInStream> stream;
  ASSERT_EQ(callback->GetStream(0, stream.Put()), S_OK);
  EXPECT_FALSE(stream) << "folders have no data";
  EXPECT_EQ(CurrentItem(*state), L"top");
  ASSERT_EQ(callback->GetStream(1, stream.Put()), S_OK);
  ASSERT_TRUE(stream);
  EXPECT_EQ(CurrentItem(*state), L"top\\data.bin");
  char buffer[16] = {};
  abi::UInt32 processed = 0;
  ASSERT_EQ(stream->Read(buffer, sizeof buffer, &processed), S_OK);
  EXPECT_EQ(std::string(buffer, processed), "payload");
  EXPECT_EQ(stream->AddRef(), 2u) << "handed out with one reference";
  EXPECT_EQ(stream->Release(), 1u);

  EXPECT_EQ(callback->GetStream(2, stream.Put()), E_FAIL);
  EXPECT_EQ(Message(*state), L"Archive item index out of range.");

  RequestWorkerStop(*state);
  EXPECT_EQ(callback->GetStream(1, stream.Put()), E_ABORT);
  EXPECT_FALSE(stream);
  EXPECT_EQ(callback->SetTotal(64), E_ABORT);
  EXPECT_EQ(callback->SetCompleted(&done), E_ABORT);
}

TEST_F(UpdateCallbackTest, VanishedAndLockedSourcesAreSkippedWithOneNotice) {
  items_ = {FileItem(L"gone.txt", "x"), FileItem(L"locked.txt", "y"), FileItem(L"ok.txt", "z")};
  fs::remove(items_[0].source_path);
  UniqueHandle lock(CreateFileW(items_[1].source_path.c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock.IsValid());
  auto state = NewSharedState();
  ComPtr<UpdateCallback> callback = UpdateCallback::Create(state->host, &items_);

  ComPtr<abi::ISequentialInStream> stream;
  EXPECT_EQ(callback->GetStream(0, stream.Put()), S_FALSE);
  EXPECT_FALSE(stream);
  const std::wstring first_notice = std::wstring(kNotice) + items_[0].source_path;
  EXPECT_EQ(Message(*state), first_notice);
  EXPECT_EQ(callback->GetStream(1, stream.Put()), S_FALSE);
  EXPECT_EQ(Message(*state), first_notice) << "only the first skipped source is named";
  EXPECT_EQ(callback->GetStream(2, stream.Put()), S_OK);
  EXPECT_TRUE(stream);

  // A vanished folder (path not found) and a folder standing where a file
  // was (access denied) are skipped the same way.
  items_.push_back({(folder_ / L"no-such-folder" / L"f.txt").wstring(), L"f.txt", false, 1, {}, 0});
  fs::create_directory(folder_ / L"now-a-folder");
  items_.push_back({(folder_ / L"now-a-folder").wstring(), L"now-a-folder", false, 1, {}, 0});
  EXPECT_EQ(callback->GetStream(3, stream.Put()), S_FALSE);
  EXPECT_EQ(callback->GetStream(4, stream.Put()), S_FALSE);
  EXPECT_FALSE(stream);
  EXPECT_EQ(Message(*state), first_notice);

  ComPtr<UpdateCallback> headless = UpdateCallback::Create(Headless(), &items_);
  EXPECT_EQ(headless->GetStream(0, stream.Put()), S_FALSE);
}

TEST_F(UpdateCallbackTest, OtherOpenErrorsFailWithTheWindowsCode) {
  // A name Windows refuses outright gives an error outside the skip list.
  // (A data error, 23, needs failing hardware and is not reproducible here.)
  items_ = {{(folder_ / L"bad<name").wstring(), L"bad", false, 1, {}, 0}};
  auto state = NewSharedState();
  ComPtr<UpdateCallback> callback = UpdateCallback::Create(state->host, &items_);
  ComPtr<abi::ISequentialInStream> stream;
  const HRESULT result = callback->GetStream(0, stream.Put());
  EXPECT_EQ(result, HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
  EXPECT_EQ(Message(*state),
            L"Bestand niet leesbaar / Cannot read file (Windows 123):\n" + items_[0].source_path);
}

TEST_F(UpdateCallbackTest, InterfaceIdentities) {
  ComPtr<UpdateCallback> callback = UpdateCallback::Create(Headless(), &items_);
  for (const GUID& iid : {__uuidof(IUnknown), abi::kIidArchiveUpdateCallback, abi::kIidProgress}) {
    void* answered = nullptr;
    ASSERT_EQ(callback->QueryInterface(iid, &answered), S_OK);
    EXPECT_EQ(answered, static_cast<abi::IArchiveUpdateCallback*>(callback.Get()));
    EXPECT_EQ(callback->Release(), 1u);
  }
  void* answered = reinterpret_cast<void*>(1);
  EXPECT_EQ(callback->QueryInterface(abi::kIidCryptoGetTextPassword, &answered), E_NOINTERFACE);
  EXPECT_EQ(answered, nullptr);
}

TEST(NoteSkippedSourceTest, NoticeOnlyIntoAnEmptyFieldAndCutToIt) {
  EXPECT_EQ(std::wstring(kNotice).size(), 149u);
  NoteSkippedSource(Headless(), L"C:\\x");  // headless: nothing to record, nothing to crash

  auto state = NewSharedState();
  ReportCallbackFailure(*state, std::string_view("Earlier reason."));
  NoteSkippedSource(state->host, L"C:\\x");
  EXPECT_EQ(Message(*state), L"Earlier reason.");

  auto fresh = NewSharedState();
  const std::wstring long_path = L"C:\\" + std::wstring(2000, L'p');
  NoteSkippedSource(fresh->host, long_path);
  const std::wstring stored = Message(*fresh);
  EXPECT_EQ(stored.size(), 1023u);
  EXPECT_EQ(stored, (std::wstring(kNotice) + long_path).substr(0, 1023));
}

}  // namespace
}  // namespace cindral
