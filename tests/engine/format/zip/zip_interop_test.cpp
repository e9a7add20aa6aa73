// Archives written by zip, python's zipfile and 7zz, read back against the
// tree they were made from.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "engine/format/zip/zip_internal.h"
#include "tests/engine/format/zip/zip_test_support.h"

namespace cindral::format::zip::testing {
namespace {

const std::string kFixtures = CINDRAL_ZIP_FIXTURES;

Bytes Fixture(const std::string& name) { return ReadFileBytes(kFixtures + "/" + name); }
std::string SourceFile(const std::string& name) {
  return AsString(ReadFileBytes(kFixtures + "/src/" + name));
}

const std::vector<std::string> kFiles = {"hello.txt", "empty.txt", "data.bin",
                                         "dir/sub/nested.txt"};

std::map<std::u16string, uint32_t> IndexByPath(const ArchiveReader& reader) {
  std::map<std::u16string, uint32_t> index;
  for (uint32_t i = 0; i < reader.Items().size(); ++i) index[reader.Items()[i].path] = i;
  return index;
}

struct Case {
  const char* archive;
  const char* data_method;  // method text of data.bin
  bool encrypted = false;
  bool has_directories = true;
  bool unix_host = false;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.archive; }

class ZipInteropTest : public ::testing::TestWithParam<Case> {};

TEST_P(ZipInteropTest, ReadsNamesSizesTimesAndContent) {
  const Case& c = GetParam();
  const auto reader = Open(Fixture(c.archive));
  const auto index = IndexByPath(*reader);
  RecordingSink sink = ExtractAll(*reader, c.encrypted ? std::optional(u"secret") : std::nullopt);
  EXPECT_EQ(sink.password_calls, c.encrypted ? 1 : 0);

  for (const std::string& name : kFiles) {
    SCOPED_TRACE(name);
    const auto found = index.find(U16(name));
    ASSERT_NE(found, index.end());
    const Item& item = reader->Items()[found->second];
    const std::string expected = SourceFile(name);
    EXPECT_FALSE(item.is_directory);
    EXPECT_EQ(item.size, expected.size());
    EXPECT_EQ(item.encrypted, c.encrypted);
    EXPECT_EQ(item.modification_time, kFixedFiletime);
    if (c.unix_host) EXPECT_EQ(item.posix_mode, 0100644u);
    if (name == "data.bin") EXPECT_EQ(item.method, U16(c.data_method));
    const OperationResult result = sink.results.at(found->second);
    ASSERT_EQ(result, OperationResult::kOk);
    EXPECT_TRUE(sink.outputs[found->second] == expected);
    if (item.crc) EXPECT_EQ(*item.crc, Crc32(expected));
  }
  if (c.has_directories) {
    for (const char16_t* name : {u"dir/", u"dir/sub/"}) {
      ASSERT_TRUE(index.count(name));
      EXPECT_TRUE(reader->Items()[index.at(name)].is_directory);
      EXPECT_EQ(sink.results.at(index.at(name)), OperationResult::kOk);
    }
  }
  EXPECT_EQ(sink.total_calls, 1);
  uint64_t total = 0;
  for (const Item& item : reader->Items()) total += item.size;
  EXPECT_EQ(sink.total, total);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ZipInteropTest,
    ::testing::Values(Case{"zip_plain.zip", "Deflate", false, true, true},
                      Case{"zip_encrypted.zip", "ZipCrypto Deflate", true, true, true},
                      Case{"py_stored.zip", "Store"}, Case{"py_deflated.zip", "Deflate"},
                      Case{"py_bzip2.zip", "BZip2"}, Case{"py_lzma.zip", "LZMA"},
                      Case{"py_zip64.zip", "Deflate", false, false},
                      Case{"py_stream.zip", "Deflate", false, false},
                      Case{"7z_deflate.zip", "Deflate", false, true, true},
                      Case{"7z_deflate64.zip", "Deflate64", false, true, true},
                      Case{"7z_bzip2.zip", "BZip2", false, true, true},
                      Case{"7z_lzma.zip", "LZMA", false, true, true},
                      Case{"7z_ppmd.zip", "PPMd", false, true, true},
                      Case{"7z_zipcrypto.zip", "ZipCrypto Deflate", true, true, true},
                      Case{"7z_aes256.zip", "AES-256 Deflate", true, true, true},
                      Case{"7z_aes128_store.zip", "AES-128 Store", true, true, true}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = info.param.archive;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

// Whether password gets past the traditional cipher's check byte: the last
// of the 12 header bytes must match the CRC's high byte or, where a data
// descriptor follows, the high byte of the DOS time.
bool PassesCheckByte(const Bytes& archive, const Entry& entry, const Item& item,
                     const std::string& password) {
  const uint8_t* local = archive.data() + entry.local_offset;
  const size_t data_start =
      entry.local_offset + kLocalHeaderSize + Load16(local + 26) + Load16(local + 28);
  codec::MemoryInStream header(
      std::span(archive).subspan(data_start, ZipCryptoDecoder::kHeaderSize));
  const uint8_t check_bytes[] = {static_cast<uint8_t>(item.crc.value_or(0) >> 24),
                                 static_cast<uint8_t>(entry.dos_time >> 8)};
  const size_t checks = entry.flags & kFlagDataDescriptor ? 2 : 1;
  try {
    ZipCryptoDecoder(header,
                     std::span(reinterpret_cast<const uint8_t*>(password.data()), password.size()),
                     std::span(check_bytes, checks));
    return true;
  } catch (const PasswordMismatch&) {
    return false;
  }
}

TEST(ZipInteropTest, WrongOrMissingPasswordFailsEveryEncryptedEntry) {
  for (const char* archive :
       {"zip_encrypted.zip", "7z_zipcrypto.zip", "7z_aes256.zip", "7z_aes128_store.zip"}) {
    SCOPED_TRACE(archive);
    const Bytes bytes = Fixture(archive);
    const auto reader = Open(bytes);
    MemorySource source(bytes);
    const Directory directory = ReadDirectory(source, {});
    for (const char* password : {"wrong", "secreT", static_cast<const char*>(nullptr)}) {
      RecordingSink sink = ExtractAll(
          *reader, password ? std::optional(U16(password)) : std::optional<std::u16string>());
      EXPECT_EQ(sink.password_calls, 1);
      for (uint32_t i = 0; i < reader->Items().size(); ++i) {
        const Item& item = reader->Items()[i];
        if (!item.encrypted) continue;
        // An empty entry has no data to betray a wrong key: one that passes
        // the check byte (which the archive's random header decides) gives
        // the same empty file as the right key.
        const bool undetectable = password && item.size == 0 &&
                                  directory.entries[i].encryption == Encryption::kZipCrypto &&
                                  PassesCheckByte(bytes, directory.entries[i], item, password);
        EXPECT_EQ(sink.results.at(i),
                  undetectable ? OperationResult::kOk : OperationResult::kWrongPassword)
            << i << " " << (password ? password : "(none)");
      }
    }
  }
}

// One wrong password in 256 passes the check byte and feeds noise to the
// decoder. zip and 7zz draw a fresh encryption header for every archive, so
// which passwords pass changes at each build; this takes a few hundred that
// pass for every entry and method, and each must still be a wrong password,
// whatever the decoder made of the noise.
TEST(ZipInteropTest, EveryWrongZipCryptoPasswordIsReportedAsOne) {
  constexpr int kPassing = 200;
  for (const char* archive : {"7z_zipcrypto_methods.zip", "zip_encrypted.zip"}) {
    SCOPED_TRACE(archive);
    const Bytes bytes = Fixture(archive);
    const auto reader = Open(bytes);
    MemorySource source(bytes);
    const Directory directory = ReadDirectory(source, {});
    std::set<std::u16string> methods;
    for (uint32_t i = 0; i < reader->Items().size(); ++i) {
      const Item& item = reader->Items()[i];
      if (!item.encrypted) continue;
      SCOPED_TRACE(std::string(item.path.begin(), item.path.end()));
      if (item.size != 0) methods.insert(item.method);
      // An empty entry has no data that could refuse a key past the check
      // byte: it extracts as the empty file it is.
      const OperationResult expected =
          item.size == 0 ? OperationResult::kOk : OperationResult::kWrongPassword;
      const int wanted = item.size == 0 ? 1 : kPassing;
      int passing = 0;
      for (int n = 0; passing < wanted && n < 1000000; ++n) {
        const std::string password = "wrong" + std::to_string(n);
        if (!PassesCheckByte(bytes, directory.entries[i], item, password)) continue;
        ++passing;
        RecordingSink sink(U16(password));
        reader->Extract(std::span(&i, 1), true, sink);
        ASSERT_EQ(sink.results.at(i), expected) << password;
      }
      EXPECT_EQ(passing, wanted);
    }
    if (archive == std::string("7z_zipcrypto_methods.zip")) EXPECT_EQ(methods.size(), 4u);
  }
}

TEST(ZipInteropTest, PlainEntriesNeverAskForAPassword) {
  const auto reader = Open(Fixture("zip_encrypted.zip"));
  std::vector<uint32_t> plain;
  for (uint32_t i = 0; i < reader->Items().size(); ++i)
    if (!reader->Items()[i].encrypted) plain.push_back(i);
  ASSERT_FALSE(plain.empty());  // the directories
  RecordingSink sink;
  reader->Extract(plain, false, sink);
  EXPECT_EQ(sink.password_calls, 0);
  for (const uint32_t i : plain) EXPECT_EQ(sink.results.at(i), OperationResult::kOk);
}

TEST(ZipInteropTest, SymbolicLinkKeepsItsPosixMode) {
  const auto reader = Open(Fixture("zip_symlink.zip"));
  const auto index = IndexByPath(*reader);
  const Item& link = reader->Items()[index.at(u"link")];
  EXPECT_EQ(link.posix_mode.value_or(0) & 0170000, 0120000u);
  EXPECT_FALSE(link.is_directory);
  RecordingSink sink = ExtractAll(*reader);
  EXPECT_EQ(sink.results.at(index.at(u"link")), OperationResult::kOk);
  EXPECT_EQ(sink.outputs[index.at(u"link")], "hello.txt");
}

TEST(ZipInteropTest, CommentsAndUtf8Names) {
  const auto comments = Open(Fixture("py_comments.zip"));
  ASSERT_EQ(comments->Items().size(), 1u);
  EXPECT_EQ(comments->Items()[0].comment, u"entry comment");

  const auto utf8 = Open(Fixture("py_utf8.zip"));
  const auto index = IndexByPath(*utf8);
  RecordingSink sink = ExtractAll(*utf8);
  for (const char16_t* name :
       {u"caf\u00e9.txt", u"\u65e5\u672c/\u8a9e.txt", u"emoji \U0001F600.txt"}) {
    ASSERT_TRUE(index.count(name));
    EXPECT_EQ(sink.results.at(index.at(name)), OperationResult::kOk);
  }
  EXPECT_EQ(sink.outputs[index.at(u"caf\u00e9.txt")], "caf\xc3\xa9.txt");
}

// Info-ZIP on Linux writes UTF-8 names without the flag; python's raw bytes
// add genuine code page 437, bytes valid in both readings, and an overlong
// sequence, which is no UTF-8.
TEST(ZipInteropTest, UnflaggedNamesReadAsTheirWritersMeantThem) {
  const std::map<std::string, std::vector<std::u16string>> expected = {
      {"iz_world.zip",
       {u"caf\u00e9.txt", u"\u65e5\u672c/", u"\u65e5\u672c/\u8a9e.txt", u"leap2040.txt",
        u"far2106.txt", u"moon1969.txt"}},
      {"la_world.zip",
       {u"caf\u00e9.txt", u"\u65e5\u672c/", u"\u65e5\u672c/\u8a9e.txt", u"leap2040.txt",
        u"far2106.txt", u"moon1969.txt"}},
      {"py_raw_names.zip",
       {u"caf\u00e9.txt", u"\u65e5\u672c/\u8a9e.txt", u"na\u00efve \u00c4rger.txt",
        u"\u00e9t\u00e9.txt", u"over\u2514\u00bblong.txt", u"plain.txt"}},
  };
  for (const auto& [archive, names] : expected) {
    SCOPED_TRACE(archive);
    const auto reader = Open(Fixture(archive));
    std::vector<std::u16string> read;
    for (const Item& item : reader->Items()) read.push_back(item.path);
    EXPECT_EQ(read, names);
    RecordingSink sink = ExtractAll(*reader);
    for (const auto& [index, result] : sink.results) EXPECT_EQ(result, OperationResult::kOk);
  }
}

// The extended timestamp of Info-ZIP and libarchive, against the times the
// files had; 1969 comes back only through the DOS date of 1980 beside it.
TEST(ZipInteropTest, ExtendedTimestampsAfter2038AndBefore1970) {
  auto filetime = [](int64_t unix_seconds) {
    return uint64_t((unix_seconds + 11644473600) * 10000000);
  };
  const std::map<std::u16string, uint64_t> expected = {
      {u"leap2040.txt", filetime(2214129600)},
      {u"far2106.txt", filetime(4294425600)},
      {u"moon1969.txt", filetime(-14182940)},
      {u"caf\u00e9.txt", filetime(1623760496)},
  };
  for (const char* archive : {"iz_world.zip", "la_world.zip"}) {
    SCOPED_TRACE(archive);
    const auto reader = Open(Fixture(archive));
    const auto index = IndexByPath(*reader);
    for (const auto& [name, time] : expected) {
      ASSERT_TRUE(index.count(name));
      EXPECT_EQ(reader->Items()[index.at(name)].modification_time, time);
    }
  }
}

// The last volume holds the directory's end, the first the spanning marker.
TEST(ZipInteropTest, SplitArchiveIsRefused) {
  for (const char* volume : {"zip_split.zip", "zip_split.z01"}) {
    SCOPED_TRACE(volume);
    try {
      Open(Fixture(volume));
      ADD_FAILURE() << "opened a split archive";
    } catch (const SplitArchive& error) {
      EXPECT_STREQ(error.what(), "split archives are not supported");
    }
  }
}

TEST(ZipInteropTest, SelfExtractorStubBeforeTheArchive) {
  for (const char* archive : {"zip_plain.zip", "py_zip64.zip", "7z_aes256.zip"}) {
    SCOPED_TRACE(archive);
    Bytes bytes(70000, 'M');  // a stub longer than the end-record search window
    const Bytes zip = Fixture(archive);
    bytes.insert(bytes.end(), zip.begin(), zip.end());
    const auto reader = Open(bytes);
    const auto index = IndexByPath(*reader);
    RecordingSink sink = ExtractAll(*reader, u"secret");
    ASSERT_TRUE(index.count(u"data.bin"));
    EXPECT_EQ(sink.results.at(index.at(u"data.bin")), OperationResult::kOk);
    EXPECT_TRUE(sink.outputs[index.at(u"data.bin")] == SourceFile("data.bin"));
  }
}

TEST(ZipInteropTest, TestModeDecodesWithoutWriting) {
  const auto reader = Open(Fixture("7z_deflate.zip"));
  RecordingSink sink;
  reader->Extract({}, true, sink);
  for (const auto& [index, result] : sink.results) EXPECT_EQ(result, OperationResult::kOk);
  for (const auto& [index, output] : sink.outputs) EXPECT_TRUE(output.empty());
  EXPECT_EQ(sink.results.size(), reader->Items().size());
}

// Rewrites 7zz's AE-2 entries as AE-1 ones, which carry the CRC (a right one,
// or a wrong one for hello.txt) in both headers.
Bytes AsAe1(Bytes bytes, bool break_hello_crc) {
  auto put32 = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> 8 * i);
  };
  auto load16 = [&](size_t at) { return static_cast<size_t>(bytes[at] | bytes[at + 1] << 8); };
  for (size_t at = 0; at + 46 < bytes.size(); ++at) {
    if (bytes[at] != 'P' || bytes[at + 1] != 'K') continue;
    const bool local = bytes[at + 2] == 3 && bytes[at + 3] == 4;
    const bool central = bytes[at + 2] == 1 && bytes[at + 3] == 2;
    if (!local && !central) continue;
    const size_t name_at = at + (local ? 30 : 46);
    const size_t name_length = load16(at + (local ? 26 : 28));
    const size_t extra_length = load16(at + (local ? 28 : 30));
    const std::string name(bytes.begin() + name_at, bytes.begin() + name_at + name_length);
    if (name.back() == '/') continue;
    uint32_t crc = Crc32(SourceFile(name));
    if (break_hello_crc && name == "hello.txt") crc ^= 1;
    put32(at + (local ? 14 : 16), crc);
    for (size_t x = name_at + name_length; x + 4 <= name_at + name_length + extra_length; ++x)
      if (bytes[x] == 0x01 && bytes[x + 1] == 0x99) bytes[x + 4] = 1;
  }
  return bytes;
}

TEST(ZipInteropTest, Ae1EntriesCheckTheCrcToo) {
  const auto good = Open(AsAe1(Fixture("7z_small_aes.zip"), false));
  RecordingSink sink = ExtractAll(*good, u"secret");
  const auto index = IndexByPath(*good);
  EXPECT_EQ(good->Items()[index.at(u"hello.txt")].crc, Crc32(SourceFile("hello.txt")));
  for (const auto& [i, result] : sink.results) EXPECT_EQ(result, OperationResult::kOk) << i;

  // The authentication code proves the password right, so a bad CRC is a CRC
  // error, not a wrong password.
  const auto bad = Open(AsAe1(Fixture("7z_small_aes.zip"), true));
  RecordingSink bad_sink = ExtractAll(*bad, u"secret");
  EXPECT_EQ(bad_sink.results.at(index.at(u"hello.txt")), OperationResult::kCrcError);
  EXPECT_EQ(bad_sink.results.at(index.at(u"dir/sub/nested.txt")), OperationResult::kOk);
}

// Whatever the damage, opening fails with OpenError or items fail on their
// own, and an item reported OK holds exactly what was archived.
void ExpectCleanFailures(const Bytes& bytes, const std::set<std::string>& contents) {
  std::unique_ptr<ArchiveReader> reader;
  try {
    reader = Open(bytes);
  } catch (const OpenError&) {
    return;
  }
  RecordingSink sink = ExtractAll(*reader, u"secret");
  ASSERT_EQ(sink.results.size(), reader->Items().size());
  for (const auto& [index, result] : sink.results) {
    if (result != OperationResult::kOk) continue;
    EXPECT_TRUE(contents.count(sink.outputs[index])) << "item " << index;
  }
}

TEST(ZipDamageTest, TruncationAndFlippedBytesAtEveryOffset) {
  std::set<std::string> contents = {"", SourceFile("hello.txt"), SourceFile("dir/sub/nested.txt")};
  for (const char* archive : {"zip_small.zip", "zip_small_encrypted.zip", "7z_small_aes.zip"}) {
    SCOPED_TRACE(archive);
    const Bytes original = Fixture(archive);
    for (size_t size = 0; size < original.size(); ++size) {
      SCOPED_TRACE(size);
      ExpectCleanFailures(Bytes(original.begin(), original.begin() + size), contents);
    }
    for (size_t offset = 0; offset < original.size(); ++offset) {
      SCOPED_TRACE(offset);
      Bytes flipped = original;
      flipped[offset] ^= 0xFF;
      ExpectCleanFailures(flipped, contents);
    }
  }
}

}  // namespace
}  // namespace cindral::format::zip::testing
