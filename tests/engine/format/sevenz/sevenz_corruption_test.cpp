// Damaged and hostile 7z archives: every failure is a clean OpenError or a
// per-item result, never a crash, a hang or an allocation the data cannot back.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include "engine/format/sevenz/sevenz_reader.h"
#include "tests/engine/format/sevenz/sevenz_test_util.h"

namespace cindral::format::sevenz {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

std::unique_ptr<ArchiveReader> OpenBytes(Bytes bytes,
                                         std::optional<std::u16string> password = std::nullopt) {
  CountingPassword passwords(std::move(password));
  return OpenSevenZip(std::make_shared<MemorySource>(std::move(bytes)), passwords);
}

void PutLe(Bytes& out, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// 7z's variable-length number: always the nine-byte form, which every reader must accept.
Bytes Number(uint64_t value) {
  Bytes out = {0xFF};
  PutLe(out, value, 8);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

uint32_t Crc(const Bytes& bytes) { return crc32(0, bytes.data(), static_cast<uInt>(bytes.size())); }

// Signature header, packed data, then the header, with every CRC right.
Bytes Archive(const Bytes& packed, const Bytes& header) {
  Bytes start;
  PutLe(start, packed.size(), 8);
  PutLe(start, header.size(), 8);
  PutLe(start, Crc(header), 4);
  Bytes out = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
  PutLe(out, Crc(start), 4);
  return Cat({out, start, packed, header});
}

// Pack info and one folder of one coder (Copy unless told) with the given sizes.
Bytes StreamsInfo(uint64_t pack_size, uint64_t unpack_size, Bytes coder = {0x01, 0x00}) {
  return Cat({{0x06},
              Number(0),
              Number(1),
              {0x09},
              Number(pack_size),
              {0x00},
              {0x07, 0x0B},
              Number(1),
              {0x00, 0x01},  // not external, one coder
              coder,
              {0x0C},
              Number(unpack_size),
              {0x00, 0x00}});
}

// Streams info without its closing kEnd, so that more can follow.
Bytes OpenStreamsInfo(uint64_t pack_size, uint64_t unpack_size) {
  Bytes info = StreamsInfo(pack_size, unpack_size);
  info.pop_back();
  return info;
}

Bytes NamesProperty(std::u16string name) {
  Bytes names = {0x00};
  for (char16_t c : name) PutLe(names, c, 2);
  PutLe(names, 0, 2);
  return Cat({{0x11}, Number(names.size()), names});
}

TEST(SevenZipCorruption, TruncationAtEveryOffsetFailsToOpen) {
  for (const char* name : {"small_copy.7z", "small.7z", "small_encrypted.7z", "anti.7z"}) {
    const Bytes whole = ReadFile(FixturePath(name));
    ASSERT_GT(whole.size(), 100u);
    for (size_t size = 0; size < whole.size(); ++size) {
      EXPECT_THROW(OpenBytes(Bytes(whole.begin(), whole.begin() + size), u"Secret"), OpenError)
          << name << " cut at " << size;
    }
  }
}

// Headers are covered by CRCs, so a flipped header byte refuses the archive;
// a flipped data byte fails exactly the item it belongs to.
TEST(SevenZipCorruption, FlippedByteAtEveryOffset) {
  const Bytes whole = ReadFile(FixturePath("small_copy.7z"));
  uint64_t next_header_offset = 0;
  for (int i = 0; i < 8; ++i) next_header_offset |= uint64_t{whole[12 + i]} << (8 * i);
  const size_t data_end = 32 + next_header_offset;
  for (size_t offset = 0; offset < whole.size(); ++offset) {
    Bytes bytes = whole;
    bytes[offset] ^= 0x21;
    if (offset == 7) {  // the minor version: readers accept any
      EXPECT_EQ(OpenBytes(bytes)->Items().size(), 4u);
      continue;
    }
    if (offset < 32 || offset >= data_end) {
      EXPECT_THROW(OpenBytes(bytes), OpenError) << offset;
      continue;
    }
    const auto reader = OpenBytes(bytes);
    RecordingSink sink;
    reader->Extract({}, false, sink);
    int failed = 0;
    for (const auto& [index, result] : sink.results) {
      if (result == OperationResult::kOk) continue;
      EXPECT_EQ(result, OperationResult::kCrcError) << offset;
      ++failed;
    }
    EXPECT_EQ(failed, 1) << offset;
  }
}

// Non-solid LZMA2: a flipped packed byte fails at most its own file (the
// range coder's last flushed bytes may not matter), never another; the
// compressed header's packed stream refuses the archive or decodes unchanged.
TEST(SevenZipCorruption, FlippedBytesInCompressedData) {
  const Bytes whole = ReadFile(FixturePath("small.7z"));
  uint64_t data_size = 0;
  const auto intact = OpenBytes(whole);
  for (const Item& item : intact->Items()) data_size += item.packed_size.value_or(0);
  uint64_t next_header_offset = 0;
  for (int i = 0; i < 8; ++i) next_header_offset |= uint64_t{whole[12 + i]} << (8 * i);
  ASSERT_LT(data_size, next_header_offset);
  int caught = 0;
  for (size_t offset = 32; offset < 32 + next_header_offset; ++offset) {
    Bytes bytes = whole;
    bytes[offset] ^= 0x10;
    std::unique_ptr<ArchiveReader> reader;
    try {
      reader = OpenBytes(bytes);
    } catch (const OpenError&) {
      EXPECT_GE(offset, 32 + data_size);
      continue;
    }
    RecordingSink sink;
    reader->Extract({}, false, sink);
    EXPECT_FALSE(sink.order_error);
    int failed = 0;
    for (const auto& [index, result] : sink.results) {
      if (result == OperationResult::kOk) continue;
      EXPECT_TRUE(result == OperationResult::kDataError || result == OperationResult::kCrcError ||
                  result == OperationResult::kUnexpectedEnd)
          << offset << ": " << static_cast<int>(result);
      ++failed;
    }
    EXPECT_LE(failed, offset < 32 + data_size ? 1 : 0) << offset;
    caught += failed;
  }
  EXPECT_GE(caught * 10, static_cast<int>(data_size) * 8);
}

// A damaged folder decoded ahead while earlier ones are still written fails
// its own items alone, exactly as with one thread.
TEST(SevenZipCorruption, DamagedFolderDecodedAheadFailsAsWithOneThread) {
  const Bytes whole = ReadFile(FixturePath("nonsolid.7z"));
  uint64_t data_size = 0;
  const auto intact = OpenBytes(whole);
  for (const Item& item : intact->Items()) data_size += item.packed_size.value_or(0);
  int failures = 0;
  // Forty flips spread over the packed data reach every folder.
  for (size_t offset = 32; offset < 32 + data_size; offset += data_size / 40 + 1) {
    Bytes bytes = whole;
    bytes[offset] ^= 0x10;
    const auto reader = OpenBytes(bytes);
    RecordingSink one;
    reader->Extract({}, false, one);
    reader->SetThreadCount(2);
    RecordingSink two;
    reader->Extract({}, false, two);
    EXPECT_FALSE(two.order_error);
    EXPECT_EQ(two.results, one.results) << offset;
    for (const auto& [index, result] : one.results) {
      if (result != OperationResult::kOk) {
        ++failures;
        continue;
      }
      EXPECT_TRUE(two.data[index].bytes == one.data[index].bytes) << offset;
    }
  }
  EXPECT_GT(failures, 0) << "the flips reached folders that fail";
}

TEST(SevenZipCorruption, FlippedBytesInEncryptedArchive) {
  const Bytes whole = ReadFile(FixturePath("small_encrypted.7z"));
  // The first data byte, then the encrypted header's packed stream just before the header.
  Bytes data = whole;
  data[32] ^= 0x01;
  const auto reader = OpenBytes(data, u"Secret");
  RecordingSink sink(u"Secret");
  reader->Extract({}, false, sink);
  int wrong = 0;
  for (const auto& [index, result] : sink.results)
    wrong += result == OperationResult::kWrongPassword;
  EXPECT_EQ(wrong, 1);

  uint64_t next_header_offset = 0;
  for (int i = 0; i < 8; ++i) next_header_offset |= uint64_t{whole[12 + i]} << (8 * i);
  Bytes header = whole;
  header[32 + next_header_offset - 5] ^= 0x01;
  EXPECT_THROW(OpenBytes(header, u"Secret"), WrongPasswordError);
}

TEST(SevenZipCorruption, HugeCountsFailBeforeAllocating) {
  const uint64_t huge = uint64_t{1} << 60;
  const Bytes cases[] = {
      // 2^60 files without streams.
      Cat({{0x01, 0x05}, Number(huge), {0x00, 0x00}}),
      // 2^60 pack streams.
      Cat({{0x01, 0x04, 0x06}, Number(0), Number(huge), {0x09, 0x00, 0x00, 0x00, 0x00}}),
      // 2^60 folders.
      Cat({{0x01, 0x04, 0x07, 0x0B}, Number(huge), {0x00, 0x00, 0x00, 0x00}}),
      // A folder claiming 2^60 substreams.
      Cat({{0x01, 0x04}, OpenStreamsInfo(4, 4), {0x08, 0x0D}, Number(huge), {0x00, 0x00, 0x00}}),
      // A coder with 2^60 inputs.
      Cat({{0x01, 0x04, 0x07, 0x0B},
           Number(1),
           {0x00, 0x11, 0x00},
           Number(huge),
           Number(1),
           {0x00, 0x00}}),
      // A property of 2^60 bytes.
      Cat({{0x01, 0x05}, Number(1), {0x11}, Number(huge), {0x00}}),
      // Names that stop without their terminator.
      Cat({{0x01, 0x05}, Number(1), {0x11}, Number(3), {0x00, 'a', 0x00}, {0x00, 0x00}}),
      // Substream sizes larger than their folder.
      Cat({{0x01, 0x04},
           OpenStreamsInfo(4, 4),
           {0x08, 0x0D},
           Number(2),
           {0x09},
           Number(5),
           {0x00, 0x00}}),
      // Attributes all claimed defined with no bytes behind them.
      Cat({{0x01, 0x05}, Number(3), {0x15}, Number(2), {0x01, 0x00}, {0x00, 0x00}}),
      // Two Copy coders where the first feeds itself.
      Cat({{0x01, 0x04, 0x06},
           Number(0),
           Number(1),
           {0x09},
           Number(4),
           {0x00},
           {0x07, 0x0B},
           Number(1),
           {0x00, 0x02, 0x01, 0x00, 0x01, 0x00},
           Number(0),
           Number(0),
           {0x0C},
           Number(4),
           Number(4),
           {0x00, 0x00}}),
      // Unknown header type.
      Bytes{0x02, 0x00},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_THROW(OpenBytes(Archive({'d', 'a', 't', 'a'}, cases[i])), OpenError) << i;
}

// The largest resident size the process has had so far, in bytes.
uint64_t PeakResidentBytes() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return uint64_t(usage.ru_maxrss) * 1024;
}

// A plain header listing count empty files: the empty-stream and empty-file
// vectors with every bit set, nothing else.
Bytes EmptyFilesHeader(uint64_t count) {
  Bytes vector(count / 8, 0xFF);
  if (count % 8 != 0) vector.push_back(static_cast<uint8_t>(0xFF00 >> (count % 8)));
  return Cat({{0x01, 0x05},
              Number(count),
              {0x0E},
              Number(vector.size()),
              vector,
              {0x0F},
              Number(vector.size()),
              vector,
              {0x00, 0x00}});
}

TEST(SevenZipCorruption, TooManyEntriesOpenByTheirCountAlone) {
  const uint64_t count = 20000000;
  const auto reader = OpenBytes(Archive({}, EmptyFilesHeader(count)));
  EXPECT_EQ(reader->ItemCount(), count);
  EXPECT_TRUE(reader->Items().empty());
  RecordingSink sink;
  EXPECT_THROW(reader->Extract({}, true, sink), OpenError);
  EXPECT_TRUE(sink.begun.empty());
  // Before, the listing was built first: gigabytes for this 5 MB archive.
  EXPECT_LT(PeakResidentBytes(), uint64_t{256} << 20);
  // A count the data does not back is damage, not a long listing.
  EXPECT_THROW(OpenBytes(Archive({}, Cat({{0x01, 0x05}, Number(count), {0x00, 0x00}}))), OpenError);
}

TEST(SevenZipCorruption, HeaderAndNameSizesAreCapped) {
  // A plain header beyond the cap is refused before a byte of it is read.
  class HugeHeaderSource final : public ArchiveSource {
   public:
    uint64_t Size() override { return 32 + kHeaderSize; }
    void ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
      ASSERT_EQ(offset, 0u) << "the header itself was read";
      Bytes start;
      PutLe(start, 0, 8);
      PutLe(start, kHeaderSize, 8);
      PutLe(start, 0, 4);
      Bytes signature = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
      PutLe(signature, Crc(start), 4);
      const Bytes bytes = Cat({signature, start});
      std::copy_n(bytes.begin(), std::min(size, bytes.size()), data);
    }
    const uint64_t kHeaderSize = uint64_t{257} << 20;
  };
  CountingPassword passwords;
  EXPECT_THROW(OpenSevenZip(std::make_shared<HugeHeaderSource>(), passwords), OpenError);
  // Names up to the longest Windows path open; one unit more is refused.
  const std::u16string longest(32767, u'n');
  const Bytes header = Cat(
      {{0x01, 0x05}, Number(1), {0x0E}, Number(1), {0x80}, NamesProperty(longest), {0x00, 0x00}});
  const auto reader = OpenBytes(Archive({}, header));
  ASSERT_EQ(reader->Items().size(), 1u);
  EXPECT_EQ(reader->Items()[0].path, longest);
  const Bytes too_long = Cat({{0x01, 0x05},
                              Number(1),
                              {0x0E},
                              Number(1),
                              {0x80},
                              NamesProperty(longest + u'n'),
                              {0x00, 0x00}});
  EXPECT_THROW(OpenBytes(Archive({}, too_long)), OpenError);
}

TEST(SevenZipCorruption, EncodedHeaderThatNamesItselfStops) {
  // The encoded header's one Copy folder unpacks to the encoded header again.
  Bytes header;
  for (int round = 0; round < 2; ++round) {
    const uint64_t size = header.size();
    header = Cat({{0x17}, StreamsInfo(size, size)});
  }
  Bytes archive = Archive({}, header);
  // Point the pack stream at the header itself: pack position 0, no data before it.
  EXPECT_THROW(OpenBytes(archive), OpenError);
}

TEST(SevenZipCorruption, EncodedHeaderClaimingMoreThanItHolds) {
  const Bytes packed = {0x01, 0x04, 0x00, 0x00};
  for (uint64_t claimed : {uint64_t{1} << 29, uint64_t{1} << 40, ~uint64_t{0}}) {
    const Bytes header = Cat({{0x17}, StreamsInfo(packed.size(), claimed)});
    EXPECT_THROW(OpenBytes(Archive(packed, header)), OpenError) << claimed;
  }
}

TEST(SevenZipCorruption, HugeUnpackSizeFailsTheItem) {
  const Bytes header = Cat({{0x01, 0x04},
                            StreamsInfo(4, uint64_t{1} << 62),
                            {0x05},
                            Number(1),
                            NamesProperty(u"big"),
                            {0x00, 0x00}});
  const auto reader = OpenBytes(Archive({'d', 'a', 't', 'a'}, header));
  ASSERT_EQ(reader->Items().size(), 1u);
  EXPECT_EQ(reader->Items()[0].size, uint64_t{1} << 62);
  RecordingSink sink;
  reader->Extract({}, true, sink);
  EXPECT_EQ(sink.results[0], OperationResult::kUnexpectedEnd);
}

TEST(SevenZipCorruption, UnknownMethodAndBadAesPropertiesAreUnsupported) {
  const Bytes unknown_coder = {0x03, 0x7F, 0x7F, 0x7F};
  const Bytes bad_aes = {0x24, 0x06, 0xF1, 0x07, 0x01, 0x01, 0x3E};  // 2^62 rounds
  for (const Bytes& coder : {unknown_coder, bad_aes}) {
    const Bytes header = Cat({{0x01, 0x04},
                              StreamsInfo(16, 4, coder),
                              {0x05},
                              Number(1),
                              NamesProperty(u"x"),
                              {0x00, 0x00}});
    const auto reader = OpenBytes(Archive(Bytes(16, 0), header));
    RecordingSink sink(u"pw");
    reader->Extract({}, false, sink);
    EXPECT_EQ(sink.results[0], OperationResult::kUnsupportedMethod);
  }
}

}  // namespace
}  // namespace cindral::format::sevenz
