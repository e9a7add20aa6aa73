#include "engine/codec/bzip2.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/engine/codec/read_all.h"

namespace cindral::codec {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Compress(const Bytes& data, int level, int work_factor = 30) {
  // libbz2 rejects a null source even for zero bytes.
  char empty = 0;
  char* source =
      data.empty() ? &empty : const_cast<char*>(reinterpret_cast<const char*>(data.data()));
  unsigned int size = unsigned(data.size() + data.size() / 100 + 1000);
  Bytes out(size);
  const int rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size, source,
                                          unsigned(data.size()), level, 0, work_factor);
  EXPECT_EQ(rc, BZ_OK);
  out.resize(size);
  return out;
}

Bytes Decode(const Bytes& packed, size_t chunk = 1 << 16, unsigned threads = 1) {
  MemoryInStream source(packed);
  Bzip2Decoder decoder(source, threads);
  const Bytes out = testing::ReadAll(decoder, chunk);
  uint8_t extra;
  EXPECT_EQ(decoder.Read(&extra, 1), 0u);
  return out;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = uint8_t(rng());
  return out;
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"archive", "the",   "stream", "of",     "block",
                                       "window",  "data,", "and",    "Vantle", "\n"};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const std::string word = kWords[rng() % 10];
    out.insert(out.end(), word.begin(), word.end());
    out.push_back(' ');
  }
  out.resize(n);
  return out;
}

// Runs of every length around the 4-byte threshold of the first RLE stage,
// including runs longer than one count byte can carry.
Bytes Runs(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const size_t length = rng() % 3 == 0 ? rng() % 600 : rng() % 9;
    out.insert(out.end(), length, uint8_t(rng() % 4));
  }
  out.resize(n);
  return out;
}

TEST(Bzip2Decoder, MatchesLibbz2AtEveryLevel) {
  const Bytes inputs[] = {Random(150000, 1), Text(350000, 2), Runs(250000, 3)};
  for (const Bytes& input : inputs) {
    for (int level = 1; level <= 9; ++level) {
      SCOPED_TRACE(level);
      const Bytes packed = Compress(input, level);
      EXPECT_EQ(Decode(packed), input);
      EXPECT_EQ(Decode(packed, 65536, 3), input);
    }
  }
}

TEST(Bzip2Decoder, ThreadsDecodeManyBlocksAndStreamsInOrder) {
  Bytes packed, expected;
  for (int part = 0; part < 4; ++part) {
    const Bytes input = part % 2 ? Runs(700000, 20 + part) : Text(900000, 30 + part);
    const Bytes more = Compress(input, 1 + part * 2);
    packed.insert(packed.end(), more.begin(), more.end());
    expected.insert(expected.end(), input.begin(), input.end());
  }
  for (unsigned threads : {2, 4}) {
    for (size_t chunk : {size_t(1000), size_t(1) << 20}) {
      SCOPED_TRACE(threads);
      EXPECT_EQ(Decode(packed, chunk, threads), expected);
    }
  }
}

// Decodes with the given thread count and describes the result: the bytes or
// the kind of failure.
std::string Outcome(const Bytes& packed, unsigned threads) {
  try {
    const Bytes out = Decode(packed, 65536, threads);
    return "ok " + std::to_string(out.size()) + " " + std::string(out.begin(), out.end());
  } catch (const UnexpectedEnd&) {
    return "end";
  } catch (const DataError& e) {
    return std::string("data ") + e.what();
  } catch (const Unsupported&) {
    return "unsupported";
  }
}

TEST(Bzip2Decoder, ThreadsFailExactlyLikeOneThread) {
  const Bytes input = Text(600000, 13);
  const Bytes packed = Compress(input, 1);
  std::mt19937 rng(14);
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    Bytes bad = packed;
    if (trial % 2 == 0) {
      // A block magic planted inside block data: a false match for the
      // block finder at some bit offset.
      const uint64_t magic = 0x314159265359ull << (rng() % 8);
      const size_t at = 100 + rng() % (bad.size() - 120);
      for (int k = 0; k < 7; ++k) bad[at + size_t(k)] ^= uint8_t(magic >> (48 - 8 * k));
    } else {
      bad.resize(rng() % bad.size());
    }
    EXPECT_EQ(Outcome(bad, 3), Outcome(bad, 1));
  }
}

TEST(Bzip2Decoder, HandlesSmallAndDegenerateInputs) {
  for (size_t n : {0, 1, 2, 3, 4, 5, 6, 255, 256, 259, 260, 261, 1000}) {
    SCOPED_TRACE(n);
    const Bytes equal(n, 'a');
    EXPECT_EQ(Decode(Compress(equal, 9)), equal);
    const Bytes random = Random(n, uint32_t(n));
    EXPECT_EQ(Decode(Compress(random, 1)), random);
  }
  // Several MB of one byte: runs across the whole block, blocks full of
  // repeat counts.
  const Bytes zeros(5'000'000, 0);
  EXPECT_EQ(Decode(Compress(zeros, 1)), zeros);
}

TEST(Bzip2Decoder, WorkFactorsAndLargeMixedData) {
  Bytes mixed = Text(1'500'000, 4);
  const Bytes tail = Runs(800'000, 5);
  mixed.insert(mixed.end(), tail.begin(), tail.end());
  for (int work_factor : {1, 30, 250}) {
    SCOPED_TRACE(work_factor);
    EXPECT_EQ(Decode(Compress(mixed, 9, work_factor)), mixed);
  }
}

TEST(Bzip2Decoder, OddReadSizesGiveTheSameBytes) {
  const Bytes input = Runs(300000, 6);
  const Bytes packed = Compress(input, 2);
  for (size_t chunk : {1, 3, 7, 4096, 65537, 1 << 20}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(Decode(packed, chunk), input);
  }
}

TEST(Bzip2Decoder, ReadsConcatenatedStreams) {
  const Bytes a = Text(120000, 7), b = Bytes(), c = Random(5000, 8);
  Bytes packed = Compress(a, 1);
  for (const Bytes* part : {&b, &c}) {
    const Bytes more = Compress(*part, 5);
    packed.insert(packed.end(), more.begin(), more.end());
  }
  Bytes expected = a;
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_EQ(Decode(packed), expected);
}

TEST(Bzip2Decoder, RejectsBadCrcsAndTrailingData) {
  const Bytes input = Text(20000, 9);
  Bytes packed = Compress(input, 9);
  // The block CRC follows the 4-byte stream header and the 6-byte magic.
  Bytes bad_block = packed;
  bad_block[10] ^= 1;
  EXPECT_THROW(Decode(bad_block), DataError);
  // The combined CRC ends the stream, followed only by bit padding.
  Bytes bad_stream = packed;
  bad_stream[bad_stream.size() - 2] ^= 0x10;
  EXPECT_THROW(Decode(bad_stream), DataError);
  Bytes trailing = packed;
  trailing.push_back('x');
  EXPECT_THROW(Decode(trailing), DataError);
  EXPECT_THROW(Decode(Bytes{'B', 'Z', 'h', '0'}), DataError);
  EXPECT_THROW(Decode(Bytes{}), UnexpectedEnd);
}

TEST(Bzip2Decoder, EveryTruncationIsAnUnexpectedEnd) {
  const Bytes input = Runs(3000, 10);
  const Bytes packed = Compress(input, 1);
  for (size_t n = 0; n < packed.size(); ++n) {
    const Bytes cut(packed.begin(), packed.begin() + n);
    EXPECT_THROW(Decode(cut), UnexpectedEnd) << n;
  }
}

TEST(Bzip2Decoder, CorruptionFailsCleanly) {
  const Bytes input = Text(40000, 11);
  const Bytes packed = Compress(input, 1);
  std::mt19937 rng(12);
  int failures = 0;
  for (int trial = 0; trial < 400; ++trial) {
    Bytes bad = packed;
    const size_t at = trial < 200 ? size_t(trial) : rng() % bad.size();
    bad[at] ^= uint8_t(1 + rng() % 255);
    try {
      Decode(bad);
    } catch (const DataError&) {
      ++failures;
    }
  }
  // Every byte of the stream is covered by a CRC or is structure, except the
  // few padding bits at the very end.
  EXPECT_GE(failures, 390);
}

}  // namespace
}  // namespace cindral::codec
