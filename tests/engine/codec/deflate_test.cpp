#include "engine/codec/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "tests/engine/codec/raw_inflate.h"

namespace cindral::codec {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes OurInflate(const Bytes& packed, size_t size) {
  testing::Inflated ours = testing::InflateWithOurs(packed, size);
  EXPECT_EQ(ours.input, packed.size()) << "the stream ends where its bytes end";
  return std::move(ours.data);
}

Bytes ZlibInflate(const Bytes& packed, size_t size) {
  testing::Inflated zlib = testing::InflateWithZlib(packed, size);
  EXPECT_EQ(zlib.zlib_status, Z_STREAM_END);
  return std::move(zlib.data);
}

void ExpectRoundTrip(const Bytes& packed, const Bytes& data, const std::string& what) {
  EXPECT_EQ(OurInflate(packed, data.size()), data) << what << ", our inflater";
  EXPECT_EQ(ZlibInflate(packed, data.size()), data) << what << ", zlib";
}

// Words from a small vocabulary, as prose and source code repeat them.
Bytes Text(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 500; ++i) {
    std::string word;
    for (unsigned n = 2 + random() % 8; n > 0; --n) word += char('a' + random() % 26);
    words.push_back(word);
  }
  Bytes text;
  while (text.size() < size) {
    // Low ranks far more often than high ones.
    const size_t limit = 1 + random() % words.size();
    const std::string& word = words[random() % limit];
    text.insert(text.end(), word.begin(), word.end());
    text.push_back(random() % 12 == 0 ? '\n' : ' ');
  }
  text.resize(size);
  return text;
}

Bytes Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes noise(size);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  return noise;
}

// Little-endian records with small fields, then a run of zeros: what
// program images and tables look like to a matcher.
Bytes Records(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes records;
  while (records.size() < size) {
    const uint32_t value = random() % 4096;
    for (int i = 0; i < 4; ++i) records.push_back(static_cast<uint8_t>(value >> (8 * i)));
    if (random() % 64 == 0) records.insert(records.end(), random() % 300, 0);
  }
  records.resize(size);
  return records;
}

TEST(DeflateEncoder, RoundTripsAtEveryLevel) {
  Bytes far = Noise(32768, 4);
  const Bytes tail(far.begin(), far.begin() + 3000);
  far.insert(far.end(), tail.begin(), tail.end());  // every match exactly 32 KiB back
  const std::vector<std::pair<std::string, Bytes>> inputs = {
      {"empty", {}},
      {"one byte", {42}},
      {"four bytes", {1, 2, 1, 2}},
      {"all the same", Bytes(300000, 'x')},
      {"text", Text(200000, 1)},
      {"noise", Noise(100000, 2)},
      {"records", Records(150000, 3)},
      {"match at the window's far end", far},
  };
  for (int level = 1; level <= 9; ++level) {
    for (const auto& [name, data] : inputs)
      ExpectRoundTrip(DeflateWhole(data, level), data, name + " at level " + std::to_string(level));
  }
}

TEST(DeflateEncoder, FindsMatchesAsFarAndAsLongAsDeflateAllows) {
  Bytes data = Noise(32768, 5);
  data.insert(data.end(), data.begin(), data.end());
  const Bytes far = DeflateWhole(data, 6);
  EXPECT_LT(far.size(), 32768u + 1000) << "the copy 32 KiB back is found";
  ExpectRoundTrip(far, data, "distance 32768");

  const Bytes run = DeflateWhole(Bytes(1 << 20, 7), 6);
  EXPECT_LT(run.size(), 2000u) << "a run is sent in matches of the longest length";
}

TEST(DeflateEncoder, IncompressibleDataCostsLittleMoreThanItsSize) {
  const Bytes noise = Noise(500000, 6);
  for (int level : {1, 6, 9}) {
    const Bytes packed = DeflateWhole(noise, level);
    EXPECT_LE(packed.size(), noise.size() + noise.size() / 4000 + 16) << level;
  }
}

TEST(DeflateEncoder, HigherLevelsPackSmaller) {
  const Bytes text = Text(1 << 20, 7);
  const size_t fast = DeflateWhole(text, 1).size(), middle = DeflateWhole(text, 6).size(),
               best = DeflateWhole(text, 9).size();
  EXPECT_LT(middle, fast);
  EXPECT_LE(best, middle);
}

// Pieces of every size, each primed with what came before, join into one
// stream; a piece that repeats its dictionary costs next to nothing.
TEST(DeflateEncoder, PiecesWithDictionariesJoinIntoOneStream) {
  Bytes data = Text(150000, 8);
  const Bytes records = Records(80000, 9);
  data.insert(data.end(), records.begin(), records.end());
  for (size_t piece : {size_t{1}, size_t{999}, size_t{32768}, size_t{100000}}) {
    // Each piece indexes its whole dictionary: one-byte pieces only for a
    // short stretch.
    const std::span<const uint8_t> all = std::span(data).first(piece == 1 ? 3000 : data.size());
    Bytes joined;
    for (size_t at = 0; at < all.size(); at += piece) {
      const size_t length = std::min(piece, all.size() - at);
      const size_t dictionary = std::min(at, kDeflateWindow);
      DeflatePiece(all.subspan(at - dictionary, dictionary), all.subspan(at, length), 6,
                   at + length == all.size(), joined);
    }
    ExpectRoundTrip(joined, Bytes(all.begin(), all.end()), "pieces of " + std::to_string(piece));
  }

  const Bytes text = Text(40000, 10);
  Bytes repeated = text;
  repeated.insert(repeated.end(), text.end() - 20000, text.end());
  Bytes primed;
  DeflatePiece({}, std::span(repeated).first(40000), 6, false, primed);
  const size_t first = primed.size();
  DeflatePiece(std::span(repeated).subspan(40000 - kDeflateWindow, kDeflateWindow),
               std::span(repeated).subspan(40000), 6, true, primed);
  EXPECT_LT(primed.size() - first, 200u);
  ExpectRoundTrip(primed, repeated, "a piece repeating its dictionary");

  Bytes empty_pieces;
  DeflatePiece({}, {}, 6, false, empty_pieces);
  DeflatePiece({}, {}, 6, true, empty_pieces);
  ExpectRoundTrip(empty_pieces, {}, "empty pieces");
}

// Encoders are reused across calls and threads; nothing an earlier input
// left behind may change the bytes of a later one.
TEST(DeflateEncoder, OutputDependsOnlyOnTheInput) {
  const Bytes a = Text(300000, 11), b = Records(300000, 12);
  const Bytes first = DeflateWhole(a, 6);
  DeflateWhole(b, 6);
  DeflateWhole(Bytes(100, 0), 2);
  EXPECT_EQ(DeflateWhole(a, 6), first);
}

// Longer inputs are matched in segments of their own positions.
TEST(DeflateEncoder, InputLongerThanOneMatchingSegment) {
  Bytes data;
  const Bytes text = Text(1 << 20, 13);
  while (data.size() < (size_t{65} << 20)) data.insert(data.end(), text.begin(), text.end());
  data.push_back('!');
  ExpectRoundTrip(DeflateWhole(data, 1), data, "65 MiB");
}

}  // namespace
}  // namespace cindral::codec
