// Opening, listing and extracting real archives from the oracle tools through
// the engine library, with the host's streams and callbacks recorded.
#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "tests/engine/com/engine_test_support.h"

namespace cindral::testing {
namespace {

std::string FixtureText(const char* relative) {
  const std::vector<uint8_t> bytes = ReadFixture(relative);
  return {bytes.begin(), bytes.end()};
}

// The "mt" property through the handler's ISetProperties.
HRESULT SetThreads(abi::IInArchive* archive, abi::UInt32 count) {
  ComPtr<abi::ISetProperties> properties;
  if (archive->QueryInterface(abi::kIidSetProperties, properties.PutVoid()) != S_OK)
    return E_NOINTERFACE;
  const wchar_t* names[] = {L"mt"};
  PROPVARIANT threads;
  PropVariantInit(&threads);
  threads.vt = VT_UI4;
  threads.ulVal = count;
  return properties->SetProperties(names, &threads, 1);
}

class EngineExtractTest : public ::testing::Test {
 protected:
  // A handler with the fixture opened; fails the test when Open does.
  ComPtr<abi::IInArchive> OpenFixture(const GUID& class_id, const char* name,
                                      abi::IArchiveOpenCallback* callback = nullptr) {
    ComPtr<abi::IInArchive> archive = engine_.Handler(class_id);
    if (!archive) return archive;
    ComPtr<abi::IInStream> stream = StreamOf(ReadFixture(name));
    const HRESULT result = archive->Open(stream.Get(), nullptr, callback);
    EXPECT_EQ(result, S_OK) << name;
    if (result != S_OK) archive.Reset();
    return archive;
  }

  HRESULT OpenResult(const GUID& class_id, const char* name,
                     abi::IArchiveOpenCallback* callback = nullptr) {
    ComPtr<abi::IInArchive> archive = engine_.Handler(class_id);
    if (!archive) return E_UNEXPECTED;
    ComPtr<abi::IInStream> stream = StreamOf(ReadFixture(name));
    const HRESULT result = archive->Open(stream.Get(), nullptr, callback);
    abi::UInt32 count = 99;
    EXPECT_EQ(archive->GetNumberOfItems(&count), S_OK);
    if (result != S_OK) {
      EXPECT_EQ(count, 0u) << "a failed Open left items behind";
    }
    return result;
  }

  // Index of each path.
  static std::map<std::wstring, abi::UInt32> Paths(abi::IInArchive* archive) {
    abi::UInt32 count = 0;
    EXPECT_EQ(archive->GetNumberOfItems(&count), S_OK);
    std::map<std::wstring, abi::UInt32> paths;
    for (abi::UInt32 i = 0; i < count; ++i) paths[PathOf(archive, i)] = i;
    return paths;
  }

  EngineDll engine_;
};

TEST_F(EngineExtractTest, InfoZipArchiveListsWithTypedProperties) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "infozip.zip");
  ASSERT_TRUE(archive);
  const auto paths = Paths(archive.Get());
  ASSERT_EQ(paths.size(), 4u);
  ASSERT_TRUE(paths.count(L"dir/b.bin") && paths.count(L"dir/") && paths.count(L"a.txt") &&
              paths.count(L"empty.txt"));
  const abi::UInt32 b = paths.at(L"dir/b.bin");
  const abi::UInt32 dir = paths.at(L"dir/");

  UniquePropVariant value;
  ASSERT_EQ(archive->GetProperty(b, abi::kpidIsDirectory, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_BOOL);
  EXPECT_EQ(value.Get().boolVal, VARIANT_FALSE);
  ASSERT_EQ(archive->GetProperty(dir, abi::kpidIsDirectory, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_BOOL);
  EXPECT_EQ(value.Get().boolVal, VARIANT_TRUE);

  ASSERT_EQ(archive->GetProperty(b, abi::kpidSize, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_UI8);
  EXPECT_EQ(value.Get().uhVal.QuadPart, ReadFixture("tree/dir/b.bin").size());
  ASSERT_EQ(archive->GetProperty(b, abi::kpidName, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_BSTR);
  EXPECT_STREQ(value.Get().bstrVal, L"b.bin");
  ASSERT_EQ(archive->GetProperty(b, abi::kpidMethod, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_BSTR);
  EXPECT_STREQ(value.Get().bstrVal, L"Deflate");

  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidPackedSize), VT_UI8);
  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidCrc), VT_UI4);
  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidModificationTime), VT_FILETIME);
  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidEncrypted), VT_BOOL);
  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidIsAnti), VT_BOOL);
  // What no reader reports is absent, never a default.
  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidSymbolicLinkTarget), VT_EMPTY);
  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidHardLinkTarget), VT_EMPTY);
  EXPECT_EQ(TypeOf(archive.Get(), b, abi::kpidIsAlternateStream), VT_EMPTY);
  EXPECT_EQ(TypeOf(archive.Get(), b, 9999), VT_EMPTY);

  EXPECT_EQ(archive->GetProperty(4, abi::kpidPath, value.Put()), E_INVALIDARG);
  EXPECT_EQ(value.Get().vt, VT_EMPTY);

  ASSERT_EQ(archive->GetArchiveProperty(abi::kpidPhysicalSize, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_UI8);
  EXPECT_EQ(value.Get().uhVal.QuadPart, ReadFixture("infozip.zip").size());

  abi::UInt32 count = 0;
  ASSERT_EQ(archive->GetNumberOfProperties(&count), S_OK);
  std::set<PROPID> listed;
  for (abi::UInt32 i = 0; i < count; ++i) {
    BSTR name = reinterpret_cast<BSTR>(1);
    PROPID id = 0;
    VARTYPE type = VT_EMPTY;
    ASSERT_EQ(archive->GetPropertyInfo(i, &name, &id, &type), S_OK);
    EXPECT_EQ(name, nullptr);
    listed.insert(id);
  }
  EXPECT_TRUE(listed.count(abi::kpidPath) && listed.count(abi::kpidModificationTime));

  EXPECT_EQ(archive->Close(), S_OK);
  ASSERT_EQ(archive->GetNumberOfItems(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(EngineExtractTest, ZipExtractAllWritesEveryFileAndReportsProgress) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "infozip.zip");
  ASSERT_TRUE(archive);
  const auto paths = Paths(archive.Get());
  auto callback = Make<RecordingExtractCallback>();
  callback->max_write = 1000;  // a host stream that takes a little at a time
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, callback.Get()), S_OK);

  EXPECT_EQ(callback->order, (std::vector<abi::UInt32>{0, 1, 2, 3}));
  for (const auto& [index, item] : callback->items) {
    EXPECT_EQ(item.ask_modes, (std::vector<abi::Int32>{abi::kAskExtract, abi::kAskExtract}));
    EXPECT_EQ(item.result, abi::kResultOk) << index;
  }
  EXPECT_EQ(callback->items[paths.at(L"a.txt")].Text(), FixtureText("tree/a.txt"));
  EXPECT_EQ(callback->items[paths.at(L"dir/b.bin")].Text(), FixtureText("tree/dir/b.bin"));
  EXPECT_GT(callback->items[paths.at(L"dir/b.bin")].stream->writes, 100);
  EXPECT_EQ(callback->items[paths.at(L"empty.txt")].Text(), "");

  const uint64_t total = ReadFixture("tree/a.txt").size() + ReadFixture("tree/dir/b.bin").size();
  EXPECT_EQ(callback->total, total);
  EXPECT_EQ(callback->last_completed, total);
  // Nothing encrypted: the password interface was never looked for.
  EXPECT_EQ(callback->password_queries, 0);
}

TEST_F(EngineExtractTest, TestModeAsksForNoStreamAndWritesNothing) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "infozip.zip");
  ASSERT_TRUE(archive);
  auto callback = Make<RecordingExtractCallback>();
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 1, callback.Get()), S_OK);
  ASSERT_EQ(callback->items.size(), 4u);
  for (const auto& [index, item] : callback->items) {
    EXPECT_EQ(item.ask_modes, (std::vector<abi::Int32>{abi::kAskTest, abi::kAskTest}));
    EXPECT_EQ(item.result, abi::kResultOk);
    EXPECT_FALSE(item.stream);
  }
}

TEST_F(EngineExtractTest, IndexListsAreTakenInIndexOrderAndChecked) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "infozip.zip");
  ASSERT_TRUE(archive);
  auto callback = Make<RecordingExtractCallback>();
  const abi::UInt32 some[] = {3, 0, 3};
  ASSERT_EQ(archive->Extract(some, 3, 0, callback.Get()), S_OK);
  EXPECT_EQ(callback->order, (std::vector<abi::UInt32>{0, 3}));

  // An empty list asks for nothing at all, not for everything.
  auto nothing = Make<RecordingExtractCallback>();
  ASSERT_EQ(archive->Extract(some, 0, 0, nothing.Get()), S_OK);
  EXPECT_TRUE(nothing->order.empty());

  const abi::UInt32 beyond[] = {1, 4};
  auto refused = Make<RecordingExtractCallback>();
  EXPECT_EQ(archive->Extract(beyond, 2, 0, refused.Get()), E_INVALIDARG);
  EXPECT_TRUE(refused->order.empty());
}

TEST_F(EngineExtractTest, HostFailuresStopExtractWithTheirOwnCode) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "infozip.zip");
  ASSERT_TRUE(archive);
  auto aborting = Make<RecordingExtractCallback>();
  aborting->abort_at_stream = 1;
  EXPECT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, aborting.Get()), E_ABORT);
  EXPECT_EQ(aborting->order, (std::vector<abi::UInt32>{0, 1}));
  EXPECT_FALSE(aborting->items[1].result.has_value());

  // A write that fails (a full disk) stops the whole operation too.
  const abi::UInt32 b = Paths(archive.Get()).at(L"dir/b.bin");
  auto full_disk = Make<RecordingExtractCallback>();
  full_disk->fail_write_after = 4096;
  full_disk->fail_write_with = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
  EXPECT_EQ(archive->Extract(&b, 1, 0, full_disk.Get()), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  // The engine let go of the stream it was writing.
  ASSERT_TRUE(full_disk->items[b].stream);
  EXPECT_EQ(full_disk->items[b].stream->AddRef(), 2u);
  full_disk->items[b].stream->Release();

  // The handler stays usable after a stop.
  auto again = Make<RecordingExtractCallback>();
  EXPECT_EQ(archive->Extract(&b, 1, 0, again.Get()), S_OK);
  EXPECT_EQ(again->items[b].Text(), FixtureText("tree/dir/b.bin"));
}

TEST_F(EngineExtractTest, ZipPasswordIsAskedOnlyForEncryptedEntries) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "crypto.zip");
  ASSERT_TRUE(archive);
  const auto paths = Paths(archive.Get());
  const abi::UInt32 secret = paths.at(L"secret.txt");
  const abi::UInt32 plain = paths.at(L"plain.txt");
  UniquePropVariant encrypted;
  ASSERT_EQ(archive->GetProperty(secret, abi::kpidEncrypted, encrypted.Put()), S_OK);
  EXPECT_EQ(encrypted.Get().boolVal, VARIANT_TRUE);

  auto right = Make<RecordingExtractCallback>();
  right->password = L"secret";
  ASSERT_EQ(archive->Extract(&plain, 1, 0, right.Get()), S_OK);
  EXPECT_EQ(right->items[plain].Text(), FixtureText("plain.txt"));
  EXPECT_EQ(right->password_queries, 0);

  auto all = Make<RecordingExtractCallback>();
  all->password = L"secret";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, all.Get()), S_OK);
  EXPECT_EQ(all->items[secret].result, abi::kResultOk);
  EXPECT_EQ(all->items[secret].Text(), FixtureText("secret.txt"));
  EXPECT_EQ(all->password_requests, 1);

  auto wrong = Make<RecordingExtractCallback>();
  wrong->password = L"not it";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, wrong.Get()), S_OK);
  EXPECT_EQ(wrong->items[secret].result, abi::kResultWrongPassword);
  EXPECT_EQ(wrong->items[plain].result, abi::kResultOk);

  // A host without a password interface gets the same answer for the item.
  auto none = Make<RecordingExtractCallback>();
  ASSERT_EQ(archive->Extract(&secret, 1, 0, none.Get()), S_OK);
  EXPECT_EQ(none->items[secret].result, abi::kResultWrongPassword);
  EXPECT_EQ(none->password_queries, 1);

  // A host that refuses (headless, or a cancelled prompt) stops Extract.
  auto refusing = Make<RecordingExtractCallback>();
  refusing->password = L"";
  refusing->password_answer = E_ABORT;
  EXPECT_EQ(archive->Extract(&secret, 1, 0, refusing.Get()), E_ABORT);
}

TEST_F(EngineExtractTest, WinZipAesEntryDecryptsThroughTheSystemCrypto) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "aes.zip");
  ASSERT_TRUE(archive);
  auto right = Make<RecordingExtractCallback>();
  right->password = L"secret";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, right.Get()), S_OK);
  EXPECT_EQ(right->items[0].result, abi::kResultOk);
  EXPECT_EQ(right->items[0].Text(), FixtureText("secret.txt"));

  auto wrong = Make<RecordingExtractCallback>();
  wrong->password = L"Secret";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, wrong.Get()), S_OK);
  EXPECT_EQ(wrong->items[0].result, abi::kResultWrongPassword);
}

uint64_t LocalToFiletime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME local{year, month, 0, day, hour, minute, second, 0};
  SYSTEMTIME utc;
  FILETIME time;
  EXPECT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
  EXPECT_TRUE(SystemTimeToFileTime(&utc, &time));
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

uint64_t UtcFiletime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME utc{year, month, 0, day, hour, minute, second, 0};
  FILETIME time;
  EXPECT_TRUE(SystemTimeToFileTime(&utc, &time));
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

TEST_F(EngineExtractTest, DosTimesAreLocalTimeAndUnixModesSurvive) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "pytimes.zip");
  ASSERT_TRUE(archive);
  const auto paths = Paths(archive.Get());
  UniquePropVariant value;
  ASSERT_EQ(archive->GetProperty(paths.at(L"link"), abi::kpidPosixMode, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_UI4);
  EXPECT_EQ(value.Get().ulVal & 0xF000, 0xA000u);
  ASSERT_EQ(archive->GetProperty(paths.at(L"when.txt"), abi::kpidModificationTime, value.Put()),
            S_OK);
  ASSERT_EQ(value.Get().vt, VT_FILETIME);
  const uint64_t got =
      (uint64_t{value.Get().filetime.dwHighDateTime} << 32) | value.Get().filetime.dwLowDateTime;
  EXPECT_EQ(got, LocalToFiletime(2021, 7, 15, 12, 34, 56));
  // The tests run in a zone with summer time (see tests/engine/com/CMakeLists.txt), so
  // taking the DOS time as UTC would be caught here.
  if (LocalToFiletime(2021, 7, 15, 12, 34, 56) == UtcFiletime(2021, 7, 15, 12, 34, 56))
    GTEST_SKIP() << "local time is UTC here; the zone offset cannot be observed";
  EXPECT_NE(got, UtcFiletime(2021, 7, 15, 12, 34, 56));
  // A winter date gets that date's offset, not today's.
  ASSERT_EQ(archive->GetProperty(paths.at(L"link"), abi::kpidModificationTime, value.Put()), S_OK);
  ASSERT_EQ(value.Get().vt, VT_FILETIME);
  const uint64_t winter =
      (uint64_t{value.Get().filetime.dwHighDateTime} << 32) | value.Get().filetime.dwLowDateTime;
  EXPECT_EQ(winter, LocalToFiletime(2020, 1, 2, 3, 4, 6));
  EXPECT_NE(winter - UtcFiletime(2020, 1, 2, 3, 4, 6), UtcFiletime(2021, 7, 15, 12, 34, 56) - got);
}

TEST_F(EngineExtractTest, ForeignOrDamagedBytesAreNotOpened) {
  EXPECT_EQ(OpenResult(abi::kZipHandlerClassId, "garbage.bin"), S_FALSE);
  EXPECT_EQ(OpenResult(abi::kSevenZipHandlerClassId, "garbage.bin"), S_FALSE);
  EXPECT_EQ(OpenResult(abi::kZipHandlerClassId, "bzip2.7z"), S_FALSE);
  EXPECT_EQ(OpenResult(abi::kSevenZipHandlerClassId, "infozip.zip"), S_FALSE);

  // A truncated 7z: the signature header promises more than there is.
  std::vector<uint8_t> cut = ReadFixture("bzip2.7z");
  cut.resize(cut.size() / 2);
  ComPtr<abi::IInArchive> archive = engine_.Handler(abi::kSevenZipHandlerClassId);
  ASSERT_TRUE(archive);
  ComPtr<abi::IInStream> stream = StreamOf(cut);
  EXPECT_EQ(archive->Open(stream.Get(), nullptr, nullptr), S_FALSE);

  // Extract before a successful Open has nothing to work on.
  auto callback = Make<RecordingExtractCallback>();
  EXPECT_NE(archive->Extract(nullptr, abi::kAllItems, 0, callback.Get()), S_OK);

  // An open callback that stops the opening gets its code back.
  auto stopping = Make<RecordingOpenCallback>();
  stopping->progress_answer = E_ABORT;
  EXPECT_EQ(OpenResult(abi::kZipHandlerClassId, "infozip.zip", stopping.Get()), E_ABORT);
}

// The program may tell these apart; it needs no more than "not opened".
TEST_F(EngineExtractTest, SplitArchivesAnswerOtherwiseThanDamagedOnes) {
  EXPECT_EQ(OpenResult(abi::kZipHandlerClassId, "split.zip"), abi::kOpenSplitArchive);
}

TEST_F(EngineExtractTest, ZipPpmdEntriesExtract) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "ppmd.zip");
  ASSERT_TRUE(archive);
  const auto paths = Paths(archive.Get());
  auto callback = Make<RecordingExtractCallback>();
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, callback.Get()), S_OK);
  for (const auto& [index, item] : callback->items) EXPECT_EQ(item.result, abi::kResultOk);
  EXPECT_EQ(callback->items[paths.at(L"a.txt")].Text(), FixtureText("tree/a.txt"));
  EXPECT_EQ(callback->items[paths.at(L"dir/b.bin")].Text(), FixtureText("tree/dir/b.bin"));
}

// UTF-8 wherever the bytes can only be UTF-8; otherwise this machine's OEM
// code page, which a Wine prefix in an English locale sets to 437.
TEST_F(EngineExtractTest, UnflaggedNamesAreUtf8OrTheOemCodePage) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kZipHandlerClassId, "names.zip");
  ASSERT_TRUE(archive);
  EXPECT_EQ(PathOf(archive.Get(), 0), L"caf\u00e9.txt");
  if (GetOEMCP() != 437) GTEST_SKIP() << "the OEM code page here is " << GetOEMCP();
  EXPECT_EQ(PathOf(archive.Get(), 1), L"na\u00efve \u00c4rger.txt");
}

TEST_F(EngineExtractTest, SevenZipArchivesOfEachAvailableMethodExtract) {
  for (const char* name : {"default.7z", "bzip2.7z", "ppmd.7z"}) {
    SCOPED_TRACE(name);
    ComPtr<abi::IInArchive> archive = OpenFixture(abi::kSevenZipHandlerClassId, name);
    ASSERT_TRUE(archive);
    const auto paths = Paths(archive.Get());
    ASSERT_EQ(paths.size(), 4u);
    ASSERT_TRUE(paths.count(L"a.txt"));
    auto callback = Make<RecordingExtractCallback>();
    ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, callback.Get()), S_OK);
    for (const auto& [path, index] : paths) {
      EXPECT_EQ(callback->items[index].result, abi::kResultOk);
      if (path == L"a.txt") {
        EXPECT_EQ(callback->items[index].Text(), FixtureText("tree/a.txt"));
      }
      if (path.ends_with(L"b.bin")) {
        EXPECT_EQ(callback->items[index].Text(), FixtureText("tree/dir/b.bin"));
      }
    }
    UniquePropVariant method;
    ASSERT_EQ(archive->GetProperty(paths.at(L"a.txt"), abi::kpidMethod, method.Put()), S_OK);
    ASSERT_EQ(method.Get().vt, VT_BSTR);
    const wchar_t* expected = name[0] == 'd' ? L"LZMA2" : name[0] == 'b' ? L"BZip2" : L"PPMD";
    EXPECT_NE(std::wstring(method.Get().bstrVal).find(expected), std::wstring::npos)
        << method.Get().bstrVal;
  }
}

TEST_F(EngineExtractTest, SevenZipWithSeveralThreadsReadsTheHostStreamOneCallAtATime) {
  ComPtr<abi::IInArchive> archive = engine_.Handler(abi::kSevenZipHandlerClassId);
  ASSERT_TRUE(archive);
  auto* memory = new MemoryInStream(ReadFixture("bzip2.7z"));
  ComPtr<abi::IInStream> stream = ComPtr<abi::IInStream>::Adopt(memory);
  ASSERT_EQ(archive->Open(stream.Get(), nullptr, nullptr), S_OK);
  ASSERT_EQ(SetThreads(archive.Get(), 4), S_OK);

  const auto paths = Paths(archive.Get());
  for (int round = 0; round < 3; ++round) {
    auto callback = Make<RecordingExtractCallback>();
    ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 1, callback.Get()), S_OK);
    for (const auto& [path, index] : paths) EXPECT_EQ(callback->items[index].result, 0);
  }
  EXPECT_GT(memory->reads.load(), 3);
  EXPECT_EQ(memory->overlapping_calls.load(), 0);
}

TEST_F(EngineExtractTest, SevenZipEncryptedDataAsksTheExtractCallback) {
  ComPtr<abi::IInArchive> archive = OpenFixture(abi::kSevenZipHandlerClassId, "enc.7z");
  ASSERT_TRUE(archive);
  const auto paths = Paths(archive.Get());
  auto right = Make<RecordingExtractCallback>();
  right->password = L"secret";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, right.Get()), S_OK);
  EXPECT_EQ(right->items[paths.at(L"a.txt")].Text(), FixtureText("tree/a.txt"));
  EXPECT_EQ(right->password_requests, 1);

  auto wrong = Make<RecordingExtractCallback>();
  wrong->password = L"secreT";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, wrong.Get()), S_OK);
  for (const auto& [path, index] : paths)
    EXPECT_EQ(wrong->items[index].result, abi::kResultWrongPassword);
}

TEST_F(EngineExtractTest, SevenZipEncryptedHeadersAskTheOpenCallback) {
  auto no_password = Make<RecordingOpenCallback>();
  EXPECT_EQ(OpenResult(abi::kSevenZipHandlerClassId, "hdrenc.7z", no_password.Get()), S_FALSE);
  EXPECT_EQ(OpenResult(abi::kSevenZipHandlerClassId, "hdrenc.7z", nullptr), S_FALSE);

  auto wrong = Make<RecordingOpenCallback>();
  wrong->password = L"nope";
  EXPECT_EQ(OpenResult(abi::kSevenZipHandlerClassId, "hdrenc.7z", wrong.Get()), S_FALSE);
  EXPECT_EQ(wrong->password_requests, 1);

  auto refusing = Make<RecordingOpenCallback>();
  refusing->password = L"";
  refusing->password_answer = E_ABORT;
  EXPECT_EQ(OpenResult(abi::kSevenZipHandlerClassId, "hdrenc.7z", refusing.Get()), E_ABORT);

  auto right = Make<RecordingOpenCallback>();
  right->password = L"secret";
  ComPtr<abi::IInArchive> archive =
      OpenFixture(abi::kSevenZipHandlerClassId, "hdrenc.7z", right.Get());
  ASSERT_TRUE(archive);
  EXPECT_EQ(right->password_requests, 1);
  EXPECT_EQ(PathOf(archive.Get(), 0), L"a.txt");
  auto callback = Make<RecordingExtractCallback>();
  callback->password = L"secret";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, callback.Get()), S_OK);
  EXPECT_EQ(callback->items[0].Text(), FixtureText("tree/a.txt"));
}

TEST_F(EngineExtractTest, SevenZipLzmaEncryptedEverywhereOnSeveralThreads) {
  auto opening = Make<RecordingOpenCallback>();
  opening->password = L"secret";
  ComPtr<abi::IInArchive> archive =
      OpenFixture(abi::kSevenZipHandlerClassId, "lzma_hdrenc.7z", opening.Get());
  ASSERT_TRUE(archive);
  ASSERT_EQ(SetThreads(archive.Get(), 3), S_OK);

  const auto paths = Paths(archive.Get());
  ASSERT_EQ(paths.size(), 4u);
  auto callback = Make<RecordingExtractCallback>();
  callback->password = L"secret";
  ASSERT_EQ(archive->Extract(nullptr, abi::kAllItems, 0, callback.Get()), S_OK);
  EXPECT_EQ(callback->password_requests, 1);
  for (const auto& [path, index] : paths) {
    EXPECT_EQ(callback->items[index].result, abi::kResultOk) << path;
    if (path.ends_with(L"b.bin")) {
      EXPECT_EQ(callback->items[index].Text(), FixtureText("tree/dir/b.bin"));
    }
  }
  EXPECT_EQ(opening->password_requests, 1);
}

}  // namespace
}  // namespace cindral::testing
