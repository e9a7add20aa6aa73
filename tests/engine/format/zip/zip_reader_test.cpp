// Hand-made archives: the layouts and fields the oracle tools do not write on
// request, and hostile ones.
#include <bzlib.h>
#include <gtest/gtest.h>

#include "engine/codec/crypto.h"
#include "engine/format/zip/zip_internal.h"
#include "tests/engine/format/zip/zip_test_support.h"

namespace cindral::format::zip::testing {
namespace {

TestEntry Stored(std::string name, std::string data) {
  TestEntry entry;
  entry.name = std::move(name);
  entry.data = std::move(data);
  return entry;
}

TestEntry Deflated(std::string name, std::string data) {
  TestEntry entry = Stored(std::move(name), std::move(data));
  entry.method = 8;
  return entry;
}

std::string UnicodePathField(const std::string& raw_name, const std::string& utf8,
                             uint32_t crc_delta = 0) {
  std::string data = "\x01";
  Put32(data, Crc32(raw_name) + crc_delta);
  return ExtraField(0x7075, data + utf8);
}

TEST(ZipNamesTest, NamesAreDecodedButNeverRewritten) {
  TestEntry cp437 = Stored("\x80\x94\xE1\xFF.txt", "a");
  TestEntry flagged = Stored("\xC3\xA9t\xC3\xA9/\xF0\x9F\x98\x80", "b");
  flagged.flags = kFlagUtf8;
  TestEntry unicode_field = Stored("caf\x82.txt", "c");
  unicode_field.central_extra = UnicodePathField(unicode_field.name, "caf\xC3\xA9.txt");
  TestEntry stale_field = Stored("old\x82.txt", "d");
  stale_field.central_extra = UnicodePathField(stale_field.name, "new.txt", 1);
  TestEntry bad_utf8 = Stored(
      "a\xFF"
      "b\xC3"
      "c\xE2\x82",
      "e");
  bad_utf8.flags = kFlagUtf8;
  const auto reader =
      Open(BuildZip({cp437, flagged, unicode_field, stale_field, bad_utf8, Stored("../up/../x", ""),
                     Stored("/abs\\back", ""), Stored("C:\\drive", "")}));
  const std::vector<Item>& items = reader->Items();
  ASSERT_EQ(items.size(), 8u);
  EXPECT_EQ(items[0].path, u"\u00C7\u00F6\u00DF\u00A0.txt");
  EXPECT_EQ(items[1].path, u"\u00E9t\u00E9/\U0001F600");
  EXPECT_EQ(items[2].path, u"caf\u00E9.txt");
  EXPECT_EQ(items[3].path, u"old\u00E9.txt");  // the field belongs to another name
  EXPECT_EQ(items[4].path, u"a\uFFFDb\uFFFDc\uFFFD");
  EXPECT_EQ(items[5].path, u"../up/../x");
  EXPECT_EQ(items[6].path, u"/abs\\back");
  EXPECT_EQ(items[7].path, u"C:\\drive");
}

// Without the flag, bytes that form UTF-8 with a multi-byte sequence are
// UTF-8; everything else goes to the host's OEM code page, here a stand-in
// that maps the upper half to Cyrillic.
TEST(ZipNamesTest, UnflaggedNamesAreUtf8OnlyWhenTheyCanBe) {
  std::vector<std::string> asked;
  auto oem = [&asked](std::string_view bytes) {
    asked.emplace_back(bytes);
    std::u16string text;
    for (const char c : bytes) {
      const uint8_t byte = uint8_t(c);
      text.push_back(byte < 0x80 ? byte : char16_t(0x0410 + byte - 0x80));
    }
    return text;
  };
  TestEntry commented = Stored("caf\xC3\xA9", "");
  commented.comment = "r\xC3\xA9sum\xC3\xA9";
  const auto reader = Open(
      BuildZip({commented, Stored("\xE6\x97\xA5\xF0\x9F\x98\x80", ""), Stored("\x8F\xE0\xA8", ""),
                Stored("\xC0\xAF", ""), Stored("cut\xE6\x97", ""), Stored("ascii", "")}),
      {}, oem);
  const std::vector<Item>& items = reader->Items();
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[0].path, u"caf\u00E9");
  EXPECT_EQ(items[0].comment, u"r\u00E9sum\u00E9");
  EXPECT_EQ(items[1].path, u"\u65E5\U0001F600");
  EXPECT_EQ(items[2].path, u"\u041F\u0470\u0438");
  EXPECT_EQ(items[3].path, u"\u0450\u043F");  // overlong: not UTF-8
  EXPECT_EQ(items[4].path, u"cut\u0476\u0427");
  EXPECT_EQ(items[5].path, u"ascii");
  EXPECT_EQ(asked, (std::vector<std::string>{"\x8F\xE0\xA8", "\xC0\xAF", "cut\xE6\x97", "ascii"}));

  // Without a host decoder the OEM code page is 437.
  EXPECT_EQ(Open(BuildZip({Stored("\x8F\xE0\xA8", "")}))->Items()[0].path, u"\u00C5\u03B1\u00BF");
}

TEST(ZipNamesTest, Utf8DecoderRejectsOverlongsAndSurrogates) {
  EXPECT_EQ(DecodeUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(DecodeUtf8("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(DecodeUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(DecodeUtf8("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(DecodeUtf8("\xF0\x9F\x98"), u"\uFFFD");
  EXPECT_EQ(DecodeUtf8("\xEF\xBF\xBF\xF4\x8F\xBF\xBF"), u"\uFFFF\U0010FFFF");
  EXPECT_EQ(EncodeUtf8(u"p\u00E4ss\U0001F511"), "p\xC3\xA4ss\xF0\x9F\x94\x91");
  EXPECT_EQ(EncodeUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

TEST(ZipItemTest, TimesPreferNtfsThenUnixThenDos) {
  std::string ntfs(4, '\0');
  Put16(ntfs, 1);
  Put16(ntfs, 24);
  Put64(ntfs, 132000000000000001);  // modification
  Put64(ntfs, 132000000000000002);  // access
  Put64(ntfs, 132000000000000003);  // creation
  std::string unix_time = "\x07";
  Put32(unix_time, 1000000000);  // the central header carries only the first

  TestEntry both = Stored("both", "");
  both.central_extra = ExtraField(0x5455, unix_time) + ExtraField(0x000A, ntfs);
  TestEntry unix_only = Stored("unix", "");
  unix_only.central_extra = ExtraField(0x5455, unix_time);
  TestEntry dos = Stored("dos", "");
  TestEntry bad_dos = Stored("bad", "");
  bad_dos.dos_time = 0;  // month 0

  std::vector<std::array<int, 6>> asked;
  const auto reader = Open(BuildZip({both, unix_only, dos, bad_dos}),
                           [&](int y, int mo, int d, int h, int mi, int s) -> uint64_t {
                             asked.push_back({y, mo, d, h, mi, s});
                             return 42;
                           });
  const std::vector<Item>& items = reader->Items();
  EXPECT_EQ(items[0].modification_time, 132000000000000001u);
  EXPECT_EQ(items[0].access_time, 132000000000000002u);
  EXPECT_EQ(items[0].creation_time, 132000000000000003u);
  EXPECT_EQ(items[1].modification_time, (1000000000ull + 11644473600ull) * 10000000ull);
  EXPECT_FALSE(items[1].access_time);
  EXPECT_EQ(items[2].modification_time, 42u);
  EXPECT_FALSE(items[3].modification_time);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], (std::array<int, 6>{2021, 6, 15, 12, 34, 56}));

  // Without a host conversion the DOS time is taken as UTC.
  EXPECT_EQ(Open(BuildZip({dos}))->Items()[0].modification_time, kFixedFiletime);
  EXPECT_EQ(UtcToFiletime(1601, 1, 1, 0, 0, 0), 0u);
  EXPECT_EQ(UtcToFiletime(2000, 2, 29, 23, 59, 59), (951868799ull + 11644473600ull) * 10000000ull);
}

// Seconds with the top bit set are after 2038, unless the DOS date beside
// them is 1980, where writers put times before it.
TEST(ZipItemTest, ExtendedTimestampsAreUnsignedUnlessTheDosDateIs1980) {
  auto entry = [](uint32_t seconds, uint32_t dos_time) {
    std::string field = "\x01";
    Put32(field, seconds);
    TestEntry e = Stored("t", "");
    e.central_extra = ExtraField(0x5455, field);
    e.dos_time = dos_time;
    return e;
  };
  constexpr uint32_t kDos2106 = uint32_t{126} << 25 | 2u << 21 | 1u << 16;
  constexpr uint32_t kDos1980 = 1u << 21 | 1u << 16;
  const auto reader = Open(BuildZip({entry(0xFFFFFFFF, kDos2106), entry(0xFFFFFFFF, kDos1980),
                                     entry(0x80000000, 0), entry(0x7FFFFFFF, kDos1980)}));
  auto filetime = [](int64_t unix_seconds) {
    return uint64_t((unix_seconds + 11644473600) * 10000000);
  };
  const std::vector<Item>& items = reader->Items();
  EXPECT_EQ(items[0].modification_time, filetime(0xFFFFFFFF));
  EXPECT_EQ(items[1].modification_time, filetime(-1));
  EXPECT_EQ(items[2].modification_time, filetime(-2147483648LL));
  EXPECT_EQ(items[3].modification_time, filetime(0x7FFFFFFF));
}

TEST(ZipItemTest, AttributesAndDirectoriesByHost) {
  TestEntry dos_dir = Stored("folder", "");
  dos_dir.external_attributes = 0x10 | 0x20;
  TestEntry dos_file = Stored("file", "x");
  dos_file.external_attributes = 0x01 | 0x20;
  TestEntry unix_dir = Stored("udir", "");
  unix_dir.version_made_by = 3 << 8 | 30;
  unix_dir.external_attributes = 040755u << 16;
  TestEntry unix_link = Stored("ulink", "target");
  unix_link.version_made_by = 3 << 8 | 30;
  unix_link.external_attributes = 0120777u << 16;
  TestEntry slash = Stored("plain/", "");
  const auto reader = Open(BuildZip({dos_dir, dos_file, unix_dir, unix_link, slash}));
  const std::vector<Item>& items = reader->Items();
  EXPECT_TRUE(items[0].is_directory);
  EXPECT_EQ(items[0].attributes, 0x30u);
  EXPECT_FALSE(items[0].posix_mode);
  EXPECT_FALSE(items[1].is_directory);
  EXPECT_EQ(items[1].attributes, 0x21u);
  EXPECT_TRUE(items[2].is_directory);
  EXPECT_EQ(items[2].attributes, 0x10u);
  EXPECT_EQ(items[2].posix_mode, 040755u);
  EXPECT_FALSE(items[3].is_directory);
  EXPECT_EQ(items[3].posix_mode, 0120777u);
  EXPECT_EQ(items[3].attributes, 0u);
  EXPECT_TRUE(items[4].is_directory);
}

TEST(ZipLayoutTest, Zip64FieldsEndRecordsAndStub) {
  TestEntry big = Deflated("big", std::string(100000, 'z'));
  big.zip64 = true;
  TestEntry small = Stored("small", "tiny");
  small.zip64 = true;
  for (const std::string& prefix : {std::string(), std::string(1000, '#')}) {
    ArchiveOptions options;
    options.zip64_end = true;
    options.prefix = prefix;
    options.comment = "trailing comment PK\x05\x06 with a fake signature";
    const auto reader = Open(BuildZip({big, small, Stored("plain", "p")}, options));
    ASSERT_EQ(reader->Items().size(), 3u);
    EXPECT_EQ(reader->Items()[0].size, 100000u);
    RecordingSink sink = ExtractAll(*reader);
    EXPECT_EQ(sink.results.at(0), OperationResult::kOk);
    EXPECT_EQ(sink.outputs[0], big.data);
    EXPECT_EQ(sink.outputs[1], "tiny");
    EXPECT_EQ(sink.outputs[2], "p");
  }
}

TEST(ZipLayoutTest, EmptyArchiveAndEntryCountWrapping) {
  EXPECT_TRUE(Open(BuildZip({}))->Items().empty());
  // More than 65535 entries without Zip64 records: the count has wrapped.
  std::vector<TestEntry> many(65537, Stored("n", ""));
  const auto reader = Open(BuildZip(many));
  EXPECT_EQ(reader->Items().size(), 65537u);
}

TEST(ZipLayoutTest, JavaStyleDescriptorsAndDataLessEntries) {
  TestEntry entry = Deflated("java", std::string(5000, 'j'));
  entry.flags = kFlagDataDescriptor;
  TestEntry next = Stored("next", "n");
  TestEntry folder = Deflated("folder/", "");
  folder.packed = "";  // a method, but no data at all
  const auto reader = Open(BuildZip({entry, next, folder}));
  RecordingSink sink = ExtractAll(*reader);
  EXPECT_EQ(sink.results.at(0), OperationResult::kOk);
  EXPECT_EQ(sink.results.at(1), OperationResult::kOk);
  EXPECT_EQ(sink.results.at(2), OperationResult::kOk);
}

void ExpectOpenError(const Bytes& bytes, const char* text) {
  try {
    Open(bytes);
    ADD_FAILURE() << "opened";
  } catch (const OpenError& error) {
    if (text != nullptr) EXPECT_STREQ(error.what(), text);
  }
}

TEST(ZipHostileTest, BrokenEndRecordsAreOpenErrors) {
  ExpectOpenError({}, "not a ZIP archive");
  ExpectOpenError(Bytes(1000, 0), "not a ZIP archive");
  ArchiveOptions split;
  split.disk = 1;
  ExpectOpenError(BuildZip({Stored("a", "a")}, split), "split archives are not supported");
  // Counts that cannot fit in the directory must not size an allocation.
  ArchiveOptions huge;
  huge.entry_count = 65535;
  ExpectOpenError(BuildZip({Stored("a", "a")}, huge),
                  "entry count does not fit the central directory");
  huge.zip64_end = true;
  huge.entry_count = uint64_t{1} << 60;
  ExpectOpenError(BuildZip({Stored("a", "a")}, huge),
                  "entry count does not fit the central directory");
}

TEST(ZipHostileTest, EntryFailuresStayWithTheirEntry) {
  TestEntry bad_crc = Deflated("crc", std::string(3000, 'c'));
  bad_crc.crc = 0x12345678;
  TestEntry implode = Stored("implode", "not really imploded");
  implode.method = 6;
  TestEntry lying_size = Deflated("size", std::string(3000, 's'));
  lying_size.declared_size = 2999;
  TestEntry short_size = Stored("short", "abc");
  short_size.packed = "ab";
  TestEntry bomb = Deflated("bomb", std::string(2000000, '\0'));  // ~2 KB packed
  TestEntry garbage = Deflated("garbage", "x");
  garbage.packed = "\xFF\xFF\xFF\xFF";
  TestEntry beyond = Stored("beyond", "");
  beyond.offset = 1u << 30;
  // ZIP's LZMA properties lie in the entry's data: a bad one is damage.
  TestEntry bad_lzma = Stored("lzma", "x");
  bad_lzma.method = 14;
  bad_lzma.packed = std::string("\x10\x02\x05\x00\xE1\x00\x00\x01\x00\x00\x00", 11);
  const auto reader = Open(BuildZip({bad_crc, implode, lying_size, short_size, bomb, garbage,
                                     beyond, Stored("fine", "ok"), bad_lzma}));
  EXPECT_EQ(reader->Items()[1].method, u"Implode");
  RecordingSink sink = ExtractAll(*reader);
  EXPECT_EQ(sink.results.at(0), OperationResult::kCrcError);
  EXPECT_EQ(sink.results.at(1), OperationResult::kUnsupportedMethod);
  EXPECT_EQ(sink.results.at(2), OperationResult::kDataError);
  EXPECT_LE(sink.outputs[2].size(), 2999u);
  EXPECT_EQ(sink.results.at(3), OperationResult::kDataError);
  EXPECT_EQ(sink.results.at(4), OperationResult::kOk);  // 1000:1 is still honest
  EXPECT_EQ(sink.results.at(5), OperationResult::kDataError);
  EXPECT_EQ(sink.results.at(6), OperationResult::kUnexpectedEnd);
  EXPECT_EQ(sink.results.at(7), OperationResult::kOk);
  EXPECT_EQ(sink.outputs[7], "ok");
  EXPECT_EQ(sink.results.at(8), OperationResult::kDataError);
}

// A WinZip AES-256 (AE-2) entry whose packed bytes are packed, encrypted
// under password with a right verifier and authentication code.
TestEntry WinZipAes256(std::string name, const std::string& password, std::string packed,
                       uint16_t method) {
  const auto bytes = [](const std::string& text) {
    return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  const std::string salt = "0123456789abcdef";
  uint8_t keys[2 * 32 + 2];
  codec::Pbkdf2HmacSha1(bytes(password), bytes(salt), 1000, keys);
  codec::AesEncryptor aes(std::span(keys, 32));
  uint8_t counter[16] = {};
  for (size_t at = 0; at < packed.size(); at += 16) {
    for (uint8_t& byte : counter)
      if (++byte != 0) break;
    uint8_t key_stream[16];
    aes.EncryptBlocks(counter, key_stream, sizeof key_stream);
    for (size_t i = at; i < std::min(packed.size(), at + 16); ++i) packed[i] ^= key_stream[i - at];
  }
  codec::HmacSha1 hmac(std::span(keys + 32, 32));
  hmac.Update(bytes(packed));
  const codec::HmacSha1::Tag tag = hmac.Final();
  TestEntry entry = Stored(std::move(name), "");
  entry.method = kMethodAes;
  entry.flags = 1;
  entry.crc = 0;
  entry.packed = salt + std::string(reinterpret_cast<const char*>(keys + 64), 2) + packed +
                 std::string(reinterpret_cast<const char*>(tag.data()), 10);
  std::string field;
  Put16(field, 2);  // AE-2
  field += "AE";
  field.push_back(3);  // AES-256
  Put16(field, method);
  entry.central_extra = entry.local_extra = ExtraField(kExtraAes, field);
  return entry;
}

// The authentication code proves the password right, so what the decoder
// finds wrong is damage; without that proof it is the wrong password.
TEST(ZipHostileTest, AesEntryWithARightTagReportsDamageAsDamage) {
  TestEntry damaged = WinZipAes256("damaged", "secret", "\xFF\xFF\xFF\xFF", kMethodDeflate);
  damaged.declared_size = 100;
  const auto reader = Open(BuildZip({damaged}));
  RecordingSink right = ExtractAll(*reader, u"secret");
  EXPECT_EQ(right.results.at(0), OperationResult::kDataError);
  RecordingSink wrong = ExtractAll(*reader, u"Secret");
  EXPECT_EQ(wrong.results.at(0), OperationResult::kWrongPassword);

  TestEntry sound = WinZipAes256("sound", "secret", RawDeflate("sound data"), kMethodDeflate);
  sound.declared_size = 10;
  const auto sound_reader = Open(BuildZip({sound}));
  RecordingSink sound_sink = ExtractAll(*sound_reader, u"secret");
  EXPECT_EQ(sound_sink.results.at(0), OperationResult::kOk);
  EXPECT_EQ(sound_sink.outputs[0], "sound data");
}

TEST(ZipHostileTest, ImpossibleDeflateRatioIsRefusedBeforeDecoding) {
  TestEntry claim = Deflated("claim", std::string(2000, 'a'));
  const size_t packed = RawDeflate(claim.data).size();
  claim.declared_size = packed * kMaxDeflateRatio + 1;
  const auto reader = Open(BuildZip({claim}));
  RecordingSink sink = ExtractAll(*reader);
  EXPECT_EQ(sink.results.at(0), OperationResult::kDataError);
  EXPECT_TRUE(sink.outputs[0].empty());
}

TEST(ZipHostileTest, LocalHeaderMismatchIsADataError) {
  Bytes bytes = BuildZip({Stored("first", "1"), Stored("second", "2")});
  bytes[0] = 'X';  // the first local header's signature
  const auto reader = Open(bytes);
  RecordingSink sink = ExtractAll(*reader);
  EXPECT_EQ(sink.results.at(0), OperationResult::kDataError);
  EXPECT_EQ(sink.results.at(1), OperationResult::kOk);
}

TEST(ZipHostileTest, OverlappingEntriesAreRefused) {
  // Two central headers naming one local header.
  TestEntry first = Stored("first", "shared data");
  TestEntry alias = first;
  alias.name = "alias";
  alias.offset = 0;
  // An entry whose stored data contains the next entry's header and data, as
  // in non-recursive zip bombs.
  const Bytes inner = BuildZip({Stored("inner", "kernel")});
  const std::string inner_entry(inner.begin(), inner.begin() + 30 + 5 + 6);
  TestEntry outer = Stored("outer", inner_entry);
  TestEntry quoted = Stored("inner", "kernel");
  const auto reader = Open(BuildZip({first, alias}));
  RecordingSink sink = ExtractAll(*reader);
  EXPECT_EQ(sink.results.at(0), OperationResult::kOk);
  EXPECT_EQ(sink.results.at(1), OperationResult::kDataError);

  Bytes nested = BuildZip({outer, Stored("after", "a")});
  // Point a third entry into the middle of outer's data, at the quoted header.
  TestEntry pointing = quoted;
  pointing.offset = 30 + 5;
  const auto bomb = Open(BuildZip({outer, pointing}));
  RecordingSink bomb_sink = ExtractAll(*bomb);
  EXPECT_EQ(bomb_sink.results.at(0), OperationResult::kOk);
  EXPECT_EQ(bomb_sink.results.at(1), OperationResult::kDataError);
  // Entries laid out one after another, or the directory first, are fine.
  EXPECT_EQ(ExtractAll(*Open(nested)).results.at(1), OperationResult::kOk);
}

// Local headers whose extra fields run over the headers after them to one
// shared Deflate stream at the end, while the central directory's ranges (a
// bare 30-byte header plus the packed size) lie one after another.
Bytes SharedStreamBomb(uint32_t count, const std::string& content) {
  const std::string stream = RawDeflate(content);
  const uint32_t name_length = 3;
  const uint32_t stride = 30 + name_length + static_cast<uint32_t>(stream.size());
  const uint32_t stream_start = count * stride;
  std::string body;
  std::string directory;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string name = "b" + std::to_string(10 + i).substr(0, 2);
    const uint32_t offset = i * stride;
    const uint32_t extra_length = stream_start - (offset + 30 + name_length);
    EXPECT_LE(extra_length, 0xFFFFu);
    std::string local;
    Put32(local, 0x04034b50);
    for (const uint32_t value : {20u, 0u, 8u, kDosTime & 0xFFFF, kDosTime >> 16})
      Put16(local, value);
    Put32(local, Crc32(content));
    Put32(local, static_cast<uint32_t>(stream.size()));
    Put32(local, static_cast<uint32_t>(content.size()));
    Put16(local, name_length);
    Put16(local, extra_length);
    body += local + name;
    body.resize(offset + stride);  // what follows is the extra field's, or the next header
    std::string central;
    Put32(central, 0x02014b50);
    for (const uint32_t value : {20u, 20u, 0u, 8u, kDosTime & 0xFFFF, kDosTime >> 16})
      Put16(central, value);
    Put32(central, Crc32(content));
    Put32(central, static_cast<uint32_t>(stream.size()));
    Put32(central, static_cast<uint32_t>(content.size()));
    for (const uint32_t value : {name_length, 0u, 0u, 0u, 0u}) Put16(central, value);
    Put32(central, 0);
    Put32(central, offset);
    directory += central + name;
  }
  body += stream;
  std::string end;
  Put32(end, 0x06054b50);
  for (const uint32_t value : {0u, 0u, count, count}) Put16(end, value);
  Put32(end, static_cast<uint32_t>(directory.size()));
  Put32(end, static_cast<uint32_t>(body.size()));
  Put16(end, 0);
  const std::string all = body + directory + end;
  return Bytes(all.begin(), all.end());
}

TEST(ZipHostileTest, LocalExtraFieldsPointingAtOneStreamAreRefused) {
  const std::string content(64 << 10, 'z');
  const auto reader = Open(SharedStreamBomb(50, content));
  RecordingSink sink = ExtractAll(*reader);
  ASSERT_EQ(sink.results.size(), 50u);
  EXPECT_EQ(sink.results.at(0), OperationResult::kOk);
  EXPECT_EQ(sink.outputs[0], content);
  for (uint32_t i = 1; i < 50; ++i) {
    EXPECT_EQ(sink.results.at(i), OperationResult::kDataError) << i;
    EXPECT_TRUE(sink.outputs[i].empty()) << i;
  }
  // Long local extra fields that lead to each entry's own data are honest.
  std::vector<TestEntry> padded;
  for (const char* name : {"p1", "p2", "p3"}) {
    padded.push_back(Deflated(name, content));
    padded.back().local_extra = ExtraField(0x7A7A, std::string(60000, '\0'));
  }
  RecordingSink honest = ExtractAll(*Open(BuildZip(padded)));
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(honest.results.at(i), OperationResult::kOk) << i;
  // Asking for one entry twice is no overlap.
  const std::vector<uint32_t> twice = {1, 1};
  RecordingSink repeated;
  Open(BuildZip(padded))->Extract(twice, false, repeated);
  EXPECT_EQ(repeated.results.at(1), OperationResult::kOk);
}

TEST(ZipExtractTest, ProgressPasswordAndHostStop) {
  const std::string big(9u << 20, 'b');
  TestEntry plain = Deflated("big", big);
  const auto reader = Open(BuildZip({plain, Stored("s", "s")}));
  RecordingSink sink = ExtractAll(*reader);
  EXPECT_EQ(sink.total, big.size() + 1);
  ASSERT_GE(sink.completed.size(), 2u);
  uint64_t previous = 0;
  for (const uint64_t value : sink.completed) {
    EXPECT_GE(value, previous);
    EXPECT_LE(value - previous, (4u << 20) + (64u << 10));
    previous = value;
  }
  EXPECT_EQ(sink.completed.back(), big.size() + 1);
  EXPECT_EQ(sink.password_calls, 0);

  // Only the requested items, in order.
  RecordingSink some;
  const uint32_t second[] = {1};
  reader->Extract(second, false, some);
  EXPECT_EQ(some.begun, std::vector<uint32_t>{1});
  EXPECT_EQ(some.total, 1u);

  struct StoppingSink final : ExtractSink {
    codec::OutStream* BeginItem(uint32_t) override { throw HostStop{-2147467260}; }
    void EndItem(uint32_t, OperationResult) override {}
    void SetTotal(uint64_t) override {}
    void SetCompleted(uint64_t) override {}
    std::optional<std::u16string> Password() override { return std::nullopt; }
  } stopping;
  try {
    reader->Extract({}, false, stopping);
    FAIL() << "the stop was swallowed";
  } catch (const HostStop& stop) {
    EXPECT_EQ(stop.code, -2147467260);
  }
}

// Entries decoded ahead on other threads reach the sink in index order with
// the bytes and results of one thread, failures included.
TEST(ZipExtractTest, DecodingAheadChangesNothingTheSinkSees) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 30; ++i) {
    // Deflated entries this long are decoded ahead; stored ones never are.
    const std::string data(70000 + 733 * i, static_cast<char>('a' + i % 26));
    entries.push_back(i % 3 == 0 ? Stored("s" + std::to_string(i), data)
                                 : Deflated("d" + std::to_string(i), data));
  }
  entries[4].crc = Crc32(entries[4].data) ^ 1;
  entries[10].packed = "\xFF\xFF\xFF\xFF";
  entries[13].declared_size = entries[13].data.size() - 1;
  entries[17].offset = 1u << 30;
  const auto reader = Open(BuildZip(entries));
  const RecordingSink one = ExtractAll(*reader);
  EXPECT_EQ(one.results.at(4), OperationResult::kCrcError);
  EXPECT_EQ(one.results.at(10), OperationResult::kDataError);
  EXPECT_EQ(one.results.at(13), OperationResult::kDataError);
  EXPECT_EQ(one.results.at(17), OperationResult::kUnexpectedEnd);
  reader->SetThreadCount(3);
  const RecordingSink many = ExtractAll(*reader);
  EXPECT_EQ(many.begun, one.begun);
  EXPECT_EQ(many.results, one.results);
  EXPECT_TRUE(many.outputs == one.outputs);
  EXPECT_EQ(many.completed.back(), one.completed.back());
  RecordingSink tested;
  reader->Extract({}, true, tested);
  EXPECT_EQ(tested.results, one.results);
}

// An entry larger than the whole decode-ahead budget is extracted in place
// while those around it are decoded ahead.
TEST(ZipExtractTest, EntryLargerThanTheDecodeAheadBudget) {
  const uint64_t big_size = (uint64_t{64} << 20) + 1;
  TestEntry big = Stored("big", "");
  big.method = kMethodDeflate;
  big.declared_size = big_size;
  const std::string zeros(static_cast<size_t>(big_size), '\0');
  big.packed = RawDeflate(zeros, 1);  // the test's time goes to extracting it
  big.crc = Crc32(zeros);
  std::vector<TestEntry> entries;
  for (int i = 0; i < 6; ++i)
    entries.push_back(Deflated("f" + std::to_string(i), std::string(70000, 'f')));
  entries.insert(entries.begin() + 3, big);
  const auto reader = Open(BuildZip(entries));
  reader->SetThreadCount(2);
  RecordingSink tested;
  reader->Extract({}, true, tested);
  ASSERT_EQ(tested.results.size(), entries.size());
  for (const auto& [index, result] : tested.results) EXPECT_EQ(result, OperationResult::kOk);
  EXPECT_EQ(tested.completed.back(), big_size + 6 * 70000);
}

// A bzip2 entry of many blocks, alone or too large for the pool, decodes its
// blocks on every thread: the same bytes and, when damaged, the same result.
TEST(ZipExtractTest, BzipEntryOfManyBlocksOnEveryThread) {
  std::string data(1200000, '\0');
  uint32_t state = 2463534242u;  // fixed xorshift: barely compressible, so 12 blocks at level 1
  for (char& byte : data) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    byte = static_cast<char>(state >> 24);
  }
  std::string packed(data.size() + data.size() / 100 + 1000, '\0');
  unsigned packed_size = static_cast<unsigned>(packed.size());
  ASSERT_EQ(BZ2_bzBuffToBuffCompress(packed.data(), &packed_size, data.data(),
                                     static_cast<unsigned>(data.size()), 1, 0, 0),
            BZ_OK);
  packed.resize(packed_size);
  ASSERT_GE(packed.size(), size_t{1} << 20);  // long enough to be split
  TestEntry entry = Stored("b.bin", data);
  entry.method = kMethodBzip2;
  entry.packed = packed;
  TestEntry damaged = entry;
  damaged.name = "damaged.bin";
  (*damaged.packed)[packed.size() / 2] ^= 0x10;
  for (const auto& entries : {std::vector{entry}, std::vector{entry, damaged}}) {
    const auto reader = Open(BuildZip(entries));
    const RecordingSink one = ExtractAll(*reader);
    reader->SetThreadCount(2);
    const RecordingSink two = ExtractAll(*reader);
    EXPECT_EQ(one.results.at(0), OperationResult::kOk);
    EXPECT_EQ(two.results, one.results);
    EXPECT_TRUE(two.outputs == one.outputs);
    EXPECT_EQ(two.outputs.at(0), data);
  }
}

// A stop from the sink while later entries are being decoded ahead leaves
// promptly, and the reader extracts normally afterwards.
TEST(ZipExtractTest, HostStopWhileEntriesDecodeAhead) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 40; ++i)
    entries.push_back(Deflated("f" + std::to_string(i), std::string(70000 + i, 'x')));
  const auto reader = Open(BuildZip(entries));
  reader->SetThreadCount(2);
  struct StoppingSink final : ExtractSink {
    codec::OutStream* BeginItem(uint32_t index) override {
      if (index == 3) throw HostStop{-2147467260};
      return nullptr;
    }
    void EndItem(uint32_t, OperationResult result) override {
      EXPECT_EQ(result, OperationResult::kOk);
    }
    void SetTotal(uint64_t) override {}
    void SetCompleted(uint64_t) override {}
    std::optional<std::u16string> Password() override { return std::nullopt; }
  } stopping;
  EXPECT_THROW(reader->Extract({}, false, stopping), HostStop);
  const RecordingSink after = ExtractAll(*reader);
  ASSERT_EQ(after.results.size(), entries.size());
  for (const auto& [index, result] : after.results) EXPECT_EQ(result, OperationResult::kOk);
  EXPECT_EQ(after.outputs.at(39), std::string(70039, 'x'));
}

}  // namespace
}  // namespace cindral::format::zip::testing
