// Reads archives made by 7zz and compares them with the tree they were made from.
#include "engine/format/sevenz/sevenz_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <ctime>
#include <set>

#include "tests/engine/format/sevenz/sevenz_test_util.h"

namespace cindral::format::sevenz {
namespace {

using namespace testing;
namespace fs = std::filesystem;

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000;

std::unique_ptr<ArchiveReader> Open(const std::string& name,
                                    std::optional<std::u16string> password = std::nullopt) {
  CountingPassword passwords(std::move(password));
  return OpenSevenZip(std::make_shared<MemorySource>(ReadFile(FixturePath(name))), passwords);
}

std::map<std::string, uint32_t> IndexByPath(const ArchiveReader& reader) {
  std::map<std::string, uint32_t> index;
  for (uint32_t i = 0; i < reader.Items().size(); ++i) index[ToUtf8(reader.Items()[i].path)] = i;
  return index;
}

struct FixtureCase {
  const char* archive;
  const char* tree;
  std::optional<std::u16string> password;
};

class SevenZipFixture : public ::testing::TestWithParam<FixtureCase> {};

// Every entry of the tree is in the archive with its kind, size, bytes,
// CRC, time and mode, and nothing else is.
TEST_P(SevenZipFixture, MatchesSourceTree) {
  const FixtureCase& c = GetParam();
  const auto reader = Open(c.archive, c.password);
  const auto& items = reader->Items();
  const auto by_path = IndexByPath(*reader);
  ASSERT_EQ(by_path.size(), items.size()) << "duplicate paths";

  RecordingSink sink(c.password);
  reader->Extract({}, false, sink);
  EXPECT_FALSE(sink.order_error);
  EXPECT_EQ(sink.total_calls, 1);

  const fs::path root = FixturePath(c.tree);
  std::set<std::string> seen;
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = fs::relative(entry.path(), root).generic_string();
    seen.insert(path);
    const auto found = by_path.find(path);
    ASSERT_NE(found, by_path.end()) << path;
    const Item& item = items[found->second];
    EXPECT_EQ(sink.results[found->second], OperationResult::kOk) << path;
    EXPECT_EQ(item.is_directory, entry.is_directory()) << path;
    EXPECT_FALSE(item.is_anti);

    struct stat st {};
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    ASSERT_TRUE(item.posix_mode) << path;
    EXPECT_EQ(*item.posix_mode, st.st_mode & 0xFFFF) << path;
    ASSERT_TRUE(item.modification_time) << path;
    const uint64_t mtime = uint64_t(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100;
    EXPECT_EQ(*item.modification_time, mtime + kUnixEpochAsFileTime) << path;
    if (entry.is_directory()) continue;

    const std::vector<uint8_t> expected = ReadFile(entry.path());
    total += expected.size();
    EXPECT_EQ(item.size, expected.size()) << path;
    EXPECT_TRUE(sink.OutputIs(found->second, expected)) << path;
    if (expected.empty()) continue;
    ASSERT_TRUE(item.crc) << path;
    EXPECT_EQ(*item.crc, crc32(0, expected.data(), static_cast<uInt>(expected.size()))) << path;
    EXPECT_FALSE(item.method.empty()) << path;
    EXPECT_EQ(item.encrypted, c.password.has_value()) << path;
  }
  EXPECT_EQ(seen.size(), items.size());
  EXPECT_EQ(sink.total, total);
  EXPECT_EQ(sink.LastCompleted(), total);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, SevenZipFixture,
    ::testing::Values(
        FixtureCase{"copy_plain.7z", "tree", std::nullopt},
        FixtureCase{"encrypted_copy.7z", "tree", u"Secret"},
        FixtureCase{"encrypted_copy_data.7z", "tree", u"Secret"},
        FixtureCase{"many_copy.7z", "many", std::nullopt},
        FixtureCase{"ppmd.7z", "tree", std::nullopt}, FixtureCase{"times.7z", "tree", std::nullopt},
        FixtureCase{"bzip2.7z", "tree", std::nullopt},
        FixtureCase{"deflate.7z", "tree", std::nullopt},
        FixtureCase{"deflate64.7z", "tree", std::nullopt},
        FixtureCase{"small_copy.7z", "small", std::nullopt},
        FixtureCase{"copy.7z", "tree", std::nullopt}, FixtureCase{"lzma.7z", "tree", std::nullopt},
        FixtureCase{"lzma2.7z", "tree", std::nullopt},
        FixtureCase{"plain_header.7z", "tree", std::nullopt},
        FixtureCase{"nonsolid.7z", "tree", std::nullopt},
        FixtureCase{"bcj.7z", "tree", std::nullopt}, FixtureCase{"bcj2.7z", "tree", std::nullopt},
        FixtureCase{"arm64.7z", "tree", std::nullopt}, FixtureCase{"arm.7z", "tree", std::nullopt},
        FixtureCase{"armt.7z", "tree", std::nullopt}, FixtureCase{"ppc.7z", "tree", std::nullopt},
        FixtureCase{"sparc.7z", "tree", std::nullopt}, FixtureCase{"ia64.7z", "tree", std::nullopt},
        FixtureCase{"riscv.7z", "tree", std::nullopt},
        FixtureCase{"delta.7z", "tree", std::nullopt},
        FixtureCase{"encrypted_data.7z", "tree", u"Secret"},
        FixtureCase{"encrypted_headers.7z", "tree", u"Secret"},
        FixtureCase{"many.7z", "many", std::nullopt},
        FixtureCase{"small.7z", "small", std::nullopt}),
    [](const auto& info) {
      std::string name = info.param.archive;
      return name.substr(0, name.find('.'));
    });

TEST(SevenZipReader, DescribesMethodsAndPackedSizes) {
  const auto copy = Open("copy_plain.7z");
  const auto encrypted = Open("encrypted_copy.7z", u"Secret");
  uint64_t packed = 0;
  uint64_t unpacked = 0;
  for (const Item& item : copy->Items()) {
    ASSERT_TRUE(item.packed_size);
    packed += *item.packed_size;
    unpacked += item.size;
    if (item.size == 0) {
      EXPECT_TRUE(item.method.empty());
      EXPECT_EQ(*item.packed_size, 0u);
      continue;
    }
    EXPECT_EQ(item.method, u"Copy");
  }
  // Copy stores every byte once, whatever the folders are.
  EXPECT_EQ(packed, unpacked);
  for (const Item& item : encrypted->Items()) {
    if (item.size == 0) continue;
    EXPECT_NE(item.method.find(u"7zAES:19"), std::u16string::npos);
    EXPECT_NE(item.method.find(u"Copy"), std::u16string::npos);
  }
}

// 7zz stores creation and access times only when asked; both come from the
// files, so they lie between the tree's making and now.
TEST(SevenZipReader, CreationAndAccessTimes) {
  const uint64_t tree_made = 1614834367ull * 10000000 + kUnixEpochAsFileTime;  // 2021-03-04
  const uint64_t now = uint64_t(std::time(nullptr) + 60) * 10000000 + kUnixEpochAsFileTime;
  const auto with = Open("times.7z");
  for (const Item& item : with->Items()) {
    ASSERT_TRUE(item.creation_time && item.access_time && item.modification_time);
    EXPECT_GE(*item.access_time, *item.modification_time);
    EXPECT_LE(*item.access_time, now);
    EXPECT_GE(*item.creation_time, tree_made - 10000000ull * 86400 * 365 * 2);
    EXPECT_LE(*item.creation_time, now);
  }
  const auto without = Open("copy_plain.7z");
  for (const Item& item : without->Items()) {
    EXPECT_FALSE(item.creation_time);
    EXPECT_FALSE(item.access_time);
  }
}

TEST(SevenZipReader, AntiItemsAndSkippedProperties) {
  const auto reader = Open("anti.7z");
  const auto& items = reader->Items();
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].path, u"kept.txt");
  EXPECT_FALSE(items[0].is_anti);
  EXPECT_EQ(items[1].path, u"gone.txt");
  EXPECT_TRUE(items[1].is_anti);
  EXPECT_FALSE(items[1].is_directory);
  EXPECT_TRUE(items[2].is_anti);
  EXPECT_TRUE(items[2].is_directory);
  EXPECT_FALSE(items[3].is_anti);
  EXPECT_TRUE(items[3].is_directory);

  RecordingSink sink;
  reader->Extract({}, false, sink);
  const std::string& kept = sink.outputs[0];
  EXPECT_EQ(kept, "kept data\n");
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(sink.results[i], OperationResult::kOk);
}

TEST(SevenZipReader, ExtractsOnlyRequestedItemsOfASolidFolder) {
  const auto reader = Open("copy_plain.7z");
  const auto by_path = IndexByPath(*reader);
  const uint32_t last = by_path.at("text.txt");
  const uint32_t middle = by_path.at("sub/deep/nested.txt");
  std::vector<uint32_t> wanted = {std::min(last, middle), std::max(last, middle)};

  RecordingSink sink;
  reader->Extract(wanted, false, sink);
  EXPECT_EQ(sink.begun, wanted);
  EXPECT_EQ(sink.total, reader->Items()[last].size + reader->Items()[middle].size);
  EXPECT_TRUE(sink.OutputIs(last, ReadFile(FixturePath("tree/text.txt"))));
  EXPECT_TRUE(sink.OutputIs(middle, ReadFile(FixturePath("tree/sub/deep/nested.txt"))));
  for (uint32_t index : wanted) EXPECT_EQ(sink.results[index], OperationResult::kOk);
}

// A stream that refuses every byte: test mode must not write to it.
class RefusingStream final : public codec::OutStream {
 public:
  void Write(const uint8_t*, size_t) override { throw std::runtime_error("written in test mode"); }
};

class TestModeSink final : public ExtractSink {
 public:
  codec::OutStream* BeginItem(uint32_t) override { return &refusing_; }
  void EndItem(uint32_t index, OperationResult result) override { results[index] = result; }
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}
  std::optional<std::u16string> Password() override { return std::nullopt; }
  std::map<uint32_t, OperationResult> results;

 private:
  RefusingStream refusing_;
};

TEST(SevenZipReader, TestModeVerifiesWithoutWriting) {
  const auto reader = Open("copy_plain.7z");
  TestModeSink sink;
  reader->Extract({}, true, sink);
  ASSERT_EQ(sink.results.size(), reader->Items().size());
  for (const auto& [index, result] : sink.results) EXPECT_EQ(result, OperationResult::kOk);
}

class StoppingSink final : public ExtractSink {
 public:
  codec::OutStream* BeginItem(uint32_t) override {
    if (++begun == 3) throw HostStop{-2147467260};
    return nullptr;
  }
  void EndItem(uint32_t, OperationResult) override {}
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}
  std::optional<std::u16string> Password() override { return std::nullopt; }
  int begun = 0;
};

TEST(SevenZipReader, HostStopPropagates) {
  for (unsigned threads : {1u, 2u}) {
    const auto reader = Open("many_copy.7z");
    reader->SetThreadCount(threads);
    StoppingSink sink;
    try {
      reader->Extract({}, false, sink);
      ADD_FAILURE() << "no HostStop";
    } catch (const HostStop& stop) {
      EXPECT_EQ(stop.code, -2147467260);
    }
    EXPECT_EQ(sink.begun, 3);
  }
}

TEST(SevenZipReader, SolidFolderPackedSizeOnItsFirstFile) {
  const auto reader = Open("lzma2.7z");
  int carriers = 0;
  for (const Item& item : reader->Items()) carriers += item.packed_size.value_or(0) != 0;
  EXPECT_EQ(carriers, 1);
  EXPECT_EQ(reader->Items()[0].method.empty(), reader->Items()[0].size == 0);
  for (const Item& item : reader->Items()) {
    if (item.size == 0) continue;
    EXPECT_EQ(item.method.substr(0, 6), u"LZMA2:");
  }
}

TEST(SevenZipReader, EncryptedHeadersNeedTheRightPassword) {
  for (const char* name : {"encrypted_copy.7z", "encrypted_headers.7z"}) {
    const auto bytes = ReadFile(FixturePath(name));
    for (const auto& password :
         {std::optional<std::u16string>(), std::optional<std::u16string>(u"secret")}) {
      CountingPassword passwords(password);
      EXPECT_THROW(OpenSevenZip(std::make_shared<MemorySource>(bytes), passwords),
                   WrongPasswordError);
      EXPECT_EQ(passwords.asked, 1);
    }
    CountingPassword right(u"Secret");
    EXPECT_FALSE(OpenSevenZip(std::make_shared<MemorySource>(bytes), right)->Items().empty());
    EXPECT_EQ(right.asked, 1);
    // Unencrypted headers never ask.
    CountingPassword unused(u"Secret");
    OpenSevenZip(std::make_shared<MemorySource>(ReadFile(FixturePath("encrypted_copy_data.7z"))),
                 unused);
    EXPECT_EQ(unused.asked, 0);
  }
}

// Behind Copy a wrong key shows as CRC mismatches, behind LZMA2 as data errors
// or mismatches; either way the items report a wrong password.
TEST(SevenZipReader, EncryptedDataWithWrongOrMissingPassword) {
  for (const char* name : {"encrypted_copy_data.7z", "encrypted_data.7z"}) {
    const auto reader = Open(name);
    for (const auto& password :
         {std::optional<std::u16string>(), std::optional<std::u16string>(u"Secrets")}) {
      RecordingSink sink(password);
      reader->Extract({}, false, sink);
      EXPECT_EQ(sink.password_calls, 1);
      for (uint32_t i = 0; i < reader->Items().size(); ++i) {
        const Item& item = reader->Items()[i];
        const bool has_data = item.size != 0;
        EXPECT_EQ(sink.results[i],
                  has_data ? OperationResult::kWrongPassword : OperationResult::kOk)
            << name << " " << ToUtf8(item.path);
      }
    }
  }
  const auto reader = Open("encrypted_copy_data.7z");
  // Nothing encrypted is requested: the password is not asked for.
  RecordingSink sink;
  const auto by_path = IndexByPath(*reader);
  const uint32_t empty = by_path.at("empty.txt");
  reader->Extract(std::span(&empty, 1), false, sink);
  EXPECT_EQ(sink.password_calls, 0);
  EXPECT_EQ(sink.results[empty], OperationResult::kOk);
}

// A wrong key turns the packed data into noise, and whatever a decoder makes
// of noise (a bad chunk header, odd LZMA2 properties, a distance out of
// range, a CRC mismatch) is the wrong password. 7zz draws a fresh IV for every
// archive, so the noise differs at each build: many passwords make sure no
// draw can reach another result.
TEST(SevenZipReader, EveryWrongPasswordIsReportedAsOne) {
  const auto reader = Open("wrong_password.7z");
  std::set<std::u16string> methods;
  for (const Item& item : reader->Items()) methods.insert(item.method);
  ASSERT_EQ(methods.size(), 12u) << "six methods, with and without BCJ";
  {
    RecordingSink right(u"Secret");
    reader->Extract({}, true, right);
    for (const auto& [index, result] : right.results) ASSERT_EQ(result, OperationResult::kOk);
  }
  std::vector<std::u16string> passwords = {u"", u"secret", u"Secrets", u"Secret ", u"S\u00e9cret"};
  for (int i = 0; passwords.size() < 300; ++i) {
    const std::string digits = std::to_string(i * 7919);
    passwords.push_back(u"Secret" + std::u16string(digits.begin(), digits.end()));
  }
  for (const std::u16string& password : passwords) {
    RecordingSink sink(password);
    reader->Extract({}, true, sink);
    ASSERT_EQ(sink.results.size(), reader->Items().size());
    for (const auto& [index, result] : sink.results)
      ASSERT_EQ(result, OperationResult::kWrongPassword)
          << ToUtf8(reader->Items()[index].path) << " with password \"" << ToUtf8(password) << "\"";
  }
}

// Several threads decode folders ahead; the sink still sees index order.
TEST(SevenZipReader, ThreadsKeepIndexOrder) {
  for (const char* name : {"many_copy.7z", "nonsolid.7z", "lzma2.7z", "encrypted_data.7z"}) {
    SCOPED_TRACE(name);
    const auto reader = Open(name);
    RecordingSink one(u"Secret");
    reader->Extract({}, false, one);
    reader->SetThreadCount(3);
    RecordingSink three(u"Secret");
    reader->Extract({}, false, three);
    EXPECT_FALSE(three.order_error);
    EXPECT_EQ(three.begun, one.begun);
    EXPECT_EQ(three.results, one.results);
    EXPECT_LE(three.password_calls, 1);
    for (const auto& [index, result] : one.results) EXPECT_EQ(result, OperationResult::kOk);
    EXPECT_EQ(three.outputs, one.outputs);
  }
}

}  // namespace
}  // namespace cindral::format::sevenz
