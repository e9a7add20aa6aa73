#include "engine/format/zip/zip_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/codec/deflate.h"
#include "engine/format/archive.h"

namespace cindral::format::zip {
namespace {

using Bytes = std::vector<uint8_t>;

struct TestItem {
  std::u16string name;
  bool is_directory = false;
  Bytes data;
  bool leave_out = false;              // the host answers "leave out" for it
  bool fail_read = false;              // its stream fails half way
  std::optional<uint64_t> declared;    // the size listed, when the file changed since
  uint64_t time = 133000000000000000;  // 2022-06-18 in FILETIME ticks
};

// A stream that yields its bytes in uneven reads, or fails half way.
class ItemStream final : public codec::InStream {
 public:
  ItemStream(const Bytes& data, bool fail) : data_(data), fail_(fail) {}
  size_t Read(uint8_t* out, size_t size) override {
    if (fail_ && position_ >= data_.size() / 2) throw HostStop{static_cast<int32_t>(0x80004005)};
    const size_t count = std::min(size, data_.size() - position_);
    std::copy_n(data_.begin() + static_cast<ptrdiff_t>(position_), count, out);
    position_ += count;
    return count;
  }

 private:
  const Bytes& data_;
  bool fail_;
  size_t position_ = 0;
};

class TestSource final : public WriteSource {
 public:
  explicit TestSource(const std::vector<TestItem>& items) : items_(items) {}
  uint32_t ItemCount() override { return static_cast<uint32_t>(items_.size()); }
  WriteItem Item(uint32_t index) override {
    const TestItem& item = items_[index];
    // DOS time of the same instant, as the host computes it: 2022-06-18 12:34:56.
    const uint32_t dos = ((2022 - 1980) << 25 | 6 << 21 | 18 << 16) | (12 << 11 | 34 << 5 | 28);
    return WriteItem{.name = item.name,
                     .is_directory = item.is_directory,
                     .size = item.declared.value_or(item.data.size()),
                     .attributes = item.is_directory ? 0x10u : 0x20u,
                     .modification_time = item.time,
                     .dos_time = dos};
  }
  std::optional<codec::InStream*> Open(uint32_t index) override {
    const TestItem& item = items_[index];
    if (item.leave_out) return std::nullopt;
    if (item.is_directory) return nullptr;
    stream_.emplace(item.data, item.fail_read);
    return &*stream_;
  }
  void ItemWritten(uint32_t) override { ++written_; }
  void SetTotal(uint64_t total) override { total_ = total; }
  void SetCompleted(uint64_t completed) override {
    if (cancel_after_ != 0 && completed >= cancel_after_)
      throw HostStop{static_cast<int32_t>(0x80004004)};
    completed_ = completed;
  }

  uint64_t total_ = 0;
  uint64_t completed_ = 0;
  uint64_t cancel_after_ = 0;
  size_t written_ = 0;

 private:
  const std::vector<TestItem>& items_;
  std::optional<ItemStream> stream_;
};

class MemoryTarget final : public WriteTarget {
 public:
  explicit MemoryTarget(bool seekable) : seekable_(seekable) {}
  void Write(const uint8_t* data, size_t size) override {
    if (position_ + size > bytes.size()) bytes.resize(position_ + size);
    std::copy_n(data, size, bytes.begin() + static_cast<ptrdiff_t>(position_));
    position_ += size;
  }
  bool CanSeek() override { return seekable_; }
  void Seek(uint64_t position) override {
    ASSERT_TRUE(seekable_);
    position_ = position;
  }
  Bytes bytes;

 private:
  bool seekable_;
  size_t position_ = 0;
};

Bytes Write(const std::vector<TestItem>& items, unsigned threads = 1, bool seekable = true,
            int level = 5) {
  TestSource source(items);
  MemoryTarget target(seekable);
  WriteZip(source, target, {.threads = threads, .level = level});
  return target.bytes;
}

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  while (size_t got = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
  const int status = pclose(pipe);
  if (status != 0) output += "\n[exit " + std::to_string(status) + "]";
  return output;
}

// Writes the archive to a file and has unzip, python's zipfile and 7zz check it.
class ZipWriterTest : public testing::Test {
 protected:
  std::string Save(const Bytes& bytes) {
    const std::string path =
        (std::filesystem::temp_directory_path() /
         ("cindral-writer-" + std::to_string(getpid()) + "-" +
          testing::UnitTest::GetInstance()->current_test_info()->name() + ".zip"))
            .string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    saved_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const std::string& path : saved_) std::filesystem::remove(path);
  }

  void ExpectOraclesAccept(const std::string& path) {
    const std::string unzip = RunCommand("unzip -tqq '" + path + "'");
    EXPECT_EQ(unzip.find("[exit"), std::string::npos) << unzip;
    const std::string seven = RunCommand("7zz t -bso0 -bsp0 '" + path + "'");
    EXPECT_EQ(seven.find("[exit"), std::string::npos) << seven;
  }

  std::vector<std::string> PythonListing(const std::string& path) {
    std::istringstream lines(RunCommand(
        "python3 " CINDRAL_SOURCE_DIR "/tests/engine/format/zip/inspect_zip.py '" + path + "'"));
    std::vector<std::string> result;
    for (std::string line; std::getline(lines, line);) result.push_back(line);
    return result;
  }

  std::vector<std::string> saved_;
};

// Each item's size and CRC as python's zipfile lists them (after its status line).
void ExpectSizesAndCrcsListed(const std::vector<std::string>& listing,
                              const std::vector<TestItem>& items) {
  ASSERT_GE(listing.size(), items.size() + 1);
  for (size_t i = 0; i < items.size(); ++i) {
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, items[i].data.data(), static_cast<uInt>(items[i].data.size())));
    EXPECT_NE(listing[i + 1].find(" " + std::to_string(items[i].data.size()) + " " +
                                  std::to_string(crc) + " "),
              std::string::npos)
        << listing[i + 1];
  }
}

Bytes Text(size_t size, uint32_t seed = 1) {
  static const char* words[] = {"archive ", "careful ", "Vantle ", "deflate ",
                                "window\n", "zip ",     "piece "};
  std::mt19937 random(seed);
  Bytes out;
  while (out.size() < size) {
    const char* word = words[random() % 7];
    out.insert(out.end(), word, word + strlen(word));
  }
  out.resize(size);
  return out;
}

Bytes Noise(size_t size, uint32_t seed = 2) {
  std::mt19937 random(seed);
  Bytes out(size);
  for (uint8_t& byte : out) byte = static_cast<uint8_t>(random());
  return out;
}

TEST_F(ZipWriterTest, EmptyArchiveIsOnlyTheEndRecord) {
  const Bytes bytes = Write({});
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(bytes[0], 0x50);
  EXPECT_EQ(bytes[3], 0x06);
  const std::string path = Save(bytes);
  EXPECT_EQ(PythonListing(path).at(0), "ok None");
}

TEST_F(ZipWriterTest, MixedTreeReadsBackEverywhere) {
  std::vector<TestItem> items = {
      {.name = u"top", .is_directory = true},
      {.name = u"top/empty-folder", .is_directory = true},
      {.name = u"top/empty.txt"},
      {.name = u"top/text.txt", .data = Text(300000)},
      {.name = u"top/noise.bin", .data = Noise(200000)},
      {.name = u"top/\u00e9t\u00e9/\u4e2d\u6587.txt", .data = Text(5000, 7)},
      {.name = u"top\\backslash\\name.txt", .data = Text(10)},
  };
  std::u16string deep = u"top";
  for (int i = 0; i < 40; ++i) deep += u"/level" + std::u16string(1, u'a' + i % 26);
  items.push_back({.name = deep + u"/leaf.txt", .data = Text(1000)});
  const std::string path = Save(Write(items, 2));
  ExpectOraclesAccept(path);

  const std::vector<std::string> listing = PythonListing(path);
  ASSERT_EQ(listing.size(), items.size() + 1);
  EXPECT_EQ(listing[0], "ok None");
  EXPECT_EQ(listing[1], "'top/' 0 0 2022-06-18T12:34:56 16 0 0");
  EXPECT_EQ(listing[3], "'top/empty.txt' 0 0 2022-06-18T12:34:56 32 0 0");
  EXPECT_EQ(listing[4].rfind("'top/text.txt' 300000 ", 0), 0u) << listing[4];
  EXPECT_NE(listing[4].find(" 32 0 8"), std::string::npos) << "compressible data is deflated";
  EXPECT_NE(listing[5].find(" 32 0 0"), std::string::npos) << "noise is stored: " << listing[5];
  EXPECT_EQ(listing[6].rfind("'top/\u00e9t\u00e9/\u4e2d\u6587.txt' 5000 ", 0), 0u) << listing[6];
  EXPECT_NE(listing[6].find(" 2048 8"), std::string::npos) << "UTF-8 flag for non-ASCII names";
  EXPECT_EQ(listing[7].rfind("'top/backslash/name.txt' 10 ", 0), 0u) << listing[7];
}

TEST_F(ZipWriterTest, LargeFilesSplitIntoPiecesStayOneValidStream) {
  const std::vector<TestItem> items = {
      {.name = u"big-text.txt", .data = Text(5 * kPieceSize + 12345, 3)},
      {.name = u"big-noise.bin", .data = Noise(3 * kPieceSize + 1, 4)},
      {.name = u"exact.txt", .data = Text(2 * kPieceSize, 5)},
  };
  for (const bool seekable : {true, false}) {
    const std::string path = Save(Write(items, 2, seekable));
    ExpectOraclesAccept(path);
    const std::vector<std::string> listing = PythonListing(path);
    ASSERT_EQ(listing.size(), 4u);
    EXPECT_EQ(listing[0], "ok None") << "seekable " << seekable;
    ExpectSizesAndCrcsListed(listing, items);
    EXPECT_NE(listing[1].find(seekable ? " 32 0 8" : " 32 8 8"), std::string::npos)
        << "a data descriptor only where the output cannot seek: " << listing[1];
  }
}

// Files are read into buffers sized by their listed size; one that changed
// since it was listed is packed as it is now, whole.
TEST_F(ZipWriterTest, FilesThatChangedSizeSinceListingArePackedAsTheyAreNow) {
  const std::vector<TestItem> items = {
      {.name = u"grew-from-empty.txt", .data = Text(5000, 11), .declared = 0},
      {.name = u"grew-past-a-piece.txt", .data = Text(kPieceSize + 777, 12), .declared = 10},
      {.name = u"shrank.txt", .data = Text(100, 13), .declared = 5000},
      {.name = u"one-piece-exactly.txt", .data = Text(kPieceSize, 14)},
      {.name = u"empty.txt", .data = {}},
  };
  const std::string path = Save(Write(items, 2));
  ExpectOraclesAccept(path);
  const std::vector<std::string> listing = PythonListing(path);
  ASSERT_EQ(listing.size(), items.size() + 1);
  ExpectSizesAndCrcsListed(listing, items);
}

TEST_F(ZipWriterTest, BytesDoNotDependOnTheThreadCount) {
  std::vector<TestItem> items;
  for (int i = 0; i < 40; ++i)
    items.push_back(
        {.name = u"small" + std::u16string(1, u'A' + i), .data = Text(1000 + 997 * i, i)});
  items.push_back({.name = u"large.txt", .data = Text(4 * kPieceSize + 99, 77)});
  items.push_back({.name = u"after.bin", .data = Noise(70000, 8)});
  const Bytes one = Write(items, 1);
  EXPECT_EQ(Write(items, 2), one);
  EXPECT_EQ(Write(items, 5), one);
  EXPECT_EQ(Write(items, 1), one) << "the same inputs give the same bytes";
}

TEST_F(ZipWriterTest, PiecesCostAtMostOnePercent) {
  const Bytes text = Text(8 * kPieceSize, 11);
  std::vector<uint8_t> pieces;
  for (size_t offset = 0; offset < text.size(); offset += kPieceSize) {
    const std::span<const uint8_t> all(text);
    const size_t dictionary = std::min(offset, codec::kDeflateWindow);
    codec::DeflatePiece(all.subspan(offset - dictionary, dictionary),
                        all.subspan(offset, kPieceSize), 5, offset + kPieceSize == text.size(),
                        pieces);
  }
  const size_t whole = codec::DeflateWhole(text, 5).size();
  EXPECT_LE(pieces.size(), whole + whole / 100) << pieces.size() << " vs " << whole;
}

TEST_F(ZipWriterTest, SeventyThousandEntriesUseZip64Count) {
  std::vector<TestItem> items(70000);
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string number = std::to_string(i);
    items[i].name = u"f" + std::u16string(number.begin(), number.end());
  }
  items[123].data = Text(50);
  const std::string path = Save(Write(items, 2));
  ExpectOraclesAccept(path);
  const std::vector<std::string> listing = PythonListing(path);
  ASSERT_EQ(listing.size(), 70001u);
  EXPECT_EQ(listing[0], "ok None");
  EXPECT_EQ(listing[70000].substr(0, 8), "'f69999'");
}

TEST_F(ZipWriterTest, SmallArchivesHaveNoZip64Records) {
  const Bytes bytes = Write({{.name = u"a.txt", .data = Text(100)}});
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.find(std::string("PK\x06\x06", 4)), std::string::npos);
  EXPECT_EQ(text.find(std::string("PK\x06\x07", 4)), std::string::npos);
}

TEST_F(ZipWriterTest, LeftOutItemsLeaveAValidArchive) {
  std::vector<TestItem> items = {{.name = u"keep1.txt", .data = Text(100)},
                                 {.name = u"gone.txt", .data = Text(100), .leave_out = true},
                                 {.name = u"keep2.txt", .data = Text(100, 9)}};
  TestSource source(items);
  MemoryTarget target(true);
  WriteZip(source, target, {.threads = 2});
  EXPECT_EQ(source.written_, 2u);
  EXPECT_EQ(source.total_, 300u);
  const std::string path = Save(target.bytes);
  ExpectOraclesAccept(path);
  const std::vector<std::string> listing = PythonListing(path);
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[1].substr(0, 11), "'keep1.txt'");
  EXPECT_EQ(listing[2].substr(0, 11), "'keep2.txt'");
}

TEST_F(ZipWriterTest, FailingReadAndCancelEndTheWriteWithTheirCode) {
  const std::vector<TestItem> failing = {
      {.name = u"a.txt", .data = Text(1000)},
      {.name = u"b.txt", .data = Text(3 * kPieceSize), .fail_read = true},
      {.name = u"c.txt", .data = Text(1000)}};
  for (const unsigned threads : {1u, 3u}) {
    TestSource source(failing);
    MemoryTarget target(true);
    try {
      WriteZip(source, target, {.threads = threads});
      FAIL() << "a failing read was not reported";
    } catch (const HostStop& stop) {
      EXPECT_EQ(stop.code, static_cast<int32_t>(0x80004005));
    }
    EXPECT_EQ(source.written_, 1u) << "the failing item is not claimed as written";
  }

  const std::vector<TestItem> large = {{.name = u"big.txt", .data = Text(6 * kPieceSize)}};
  TestSource source(large);
  source.cancel_after_ = 2 * kPieceSize;
  MemoryTarget target(true);
  try {
    WriteZip(source, target, {.threads = 2});
    FAIL() << "cancel was not reported";
  } catch (const HostStop& stop) {
    EXPECT_EQ(stop.code, static_cast<int32_t>(0x80004004));
  }
  EXPECT_EQ(source.written_, 0u);
}

TEST_F(ZipWriterTest, ProgressCountsEveryByteRead) {
  const std::vector<TestItem> items = {{.name = u"a", .data = Text(2500000)},
                                       {.name = u"b", .data = Text(10)}};
  TestSource source(items);
  MemoryTarget target(false);
  WriteZip(source, target, {.threads = 1});
  EXPECT_EQ(source.total_, 2500010u);
  EXPECT_EQ(source.completed_, 2500010u);
}

TEST_F(ZipWriterTest, LevelZeroStoresEverything) {
  const std::string path =
      Save(Write({{.name = u"a.txt", .data = Text(3 * kPieceSize)}}, 2, true, 0));
  ExpectOraclesAccept(path);
  const std::vector<std::string> listing = PythonListing(path);
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_NE(listing[1].find(" 32 0 0"), std::string::npos) << listing[1];
}

}  // namespace
}  // namespace cindral::format::zip

namespace cindral::format::zip {
namespace {

// Yields size bytes of cheap, mildly compressible data without holding them.
class GeneratedStream final : public codec::InStream {
 public:
  explicit GeneratedStream(uint64_t size) : left_(size) {}
  size_t Read(uint8_t* data, size_t size) override {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(size, left_));
    for (size_t i = 0; i < count; ++i) {
      state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
      data[i] = static_cast<uint8_t>("abcdefgh"[(state_ >> 61)] + (i % 977 == 0));
    }
    left_ -= count;
    return count;
  }

 private:
  uint64_t left_;
  uint64_t state_ = 1;
};

class GeneratedSource final : public WriteSource {
 public:
  explicit GeneratedSource(uint64_t size) : size_(size) {}
  uint32_t ItemCount() override { return 2; }
  WriteItem Item(uint32_t index) override {
    return WriteItem{.name = index == 0 ? u"large.bin" : u"after.txt",
                     .size = index == 0 ? size_ : 5,
                     .attributes = 0x20};
  }
  std::optional<codec::InStream*> Open(uint32_t index) override {
    stream_.emplace(index == 0 ? size_ : 5);
    return &*stream_;
  }
  void ItemWritten(uint32_t) override {}
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}

 private:
  uint64_t size_;
  std::optional<GeneratedStream> stream_;
};

class FileTarget final : public WriteTarget {
 public:
  explicit FileTarget(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~FileTarget() override { std::fclose(file_); }
  void Write(const uint8_t* data, size_t size) override {
    ASSERT_EQ(std::fwrite(data, 1, size, file_), size);
  }
  bool CanSeek() override { return true; }
  void Seek(uint64_t position) override {
    ASSERT_EQ(fseeko(file_, static_cast<off_t>(position), SEEK_SET), 0);
  }

 private:
  FILE* file_;
};

// Minutes of work and 4 GiB of disk: run by tools/bench, not by the tests.
TEST(ZipWriterLong, EntryPastFourGibibytesUsesZip64) {
  if (std::getenv("CINDRAL_LONG_TESTS") == nullptr)
    GTEST_SKIP() << "set CINDRAL_LONG_TESTS=1 (tools/bench does) to write a 4 GiB entry";
  const uint64_t size = (uint64_t{4} << 30) + 12345;
  const std::string path =
      (std::filesystem::temp_directory_path() / "cindral-zip64-long.zip").string();
  {
    GeneratedSource source(size);
    FileTarget target(path);
    WriteZip(source, target, {.threads = 2, .level = 1});
  }
  const std::string listing = RunCommand(
      "python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
      "print([(i.filename, i.file_size) for i in z.infolist()])\" '" +
      path + "'");
  EXPECT_NE(listing.find("('large.bin', " + std::to_string(size) + ")"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("('after.txt', 5)"), std::string::npos) << listing;
  const std::string test = RunCommand("7zz t -bso0 -bsp0 '" + path + "'");
  EXPECT_EQ(test.find("[exit"), std::string::npos) << test;
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace cindral::format::zip
