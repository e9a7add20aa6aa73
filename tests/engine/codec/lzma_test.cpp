#include "engine/codec/lzma.h"

#include <gtest/gtest.h>

#include "engine/codec/lzma2.h"
#include "tests/engine/codec/lzma_test_util.h"

namespace cindral::codec {
namespace {

using testing::Bytes;

struct Lzma1Stream {
  Bytes properties;
  Bytes packed;
};

Lzma1Stream EncodeLzma1(const Bytes& data, const lzma_options_lzma& options, bool end_marker) {
  lzma_options_lzma opt = options;
  opt.ext_flags = end_marker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  Lzma1Stream out;
  out.packed = testing::RawEncode(filters, data);
  out.properties.push_back(static_cast<uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc));
  for (int i = 0; i < 4; ++i)
    out.properties.push_back(static_cast<uint8_t>(opt.dict_size >> (8 * i)));
  return out;
}

lzma_options_lzma Preset(uint32_t preset) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) throw std::runtime_error("bad preset");
  return options;
}

Bytes DecodeLzma1(const Lzma1Stream& stream, std::optional<uint64_t> size, size_t chunk = 65536) {
  MemoryInStream source(stream.packed);
  LzmaDecoder decoder(source, stream.properties, size);
  return testing::ReadAll(decoder, chunk);
}

TEST(Lzma, MatchesLiblzmaAtEveryPreset) {
  const Bytes data = testing::MixedData(300000, 1);
  for (uint32_t preset = 0; preset <= 9; ++preset) {
    for (const uint32_t flags : {0u, uint32_t{LZMA_PRESET_EXTREME}}) {
      if (flags && preset % 3 != 0) continue;
      SCOPED_TRACE(::testing::Message() << "preset " << preset << " flags " << flags);
      const Lzma1Stream bare = EncodeLzma1(data, Preset(preset | flags), false);
      EXPECT_EQ(DecodeLzma1(bare, data.size()), data);
      const Lzma1Stream marked = EncodeLzma1(data, Preset(preset | flags), true);
      EXPECT_EQ(DecodeLzma1(marked, std::nullopt), data);
      EXPECT_EQ(DecodeLzma1(marked, data.size()), data);  // known size and marker, as ZIP writes
    }
  }
}

TEST(Lzma, LiteralAndPositionBitVariants) {
  const Bytes data = testing::MixedData(120000, 2);
  for (uint32_t lc = 0; lc <= 4; ++lc)
    for (uint32_t lp = 0; lc + lp <= 4; ++lp)
      for (const uint32_t pb : {0u, 2u, 4u}) {
        SCOPED_TRACE(::testing::Message() << "lc " << lc << " lp " << lp << " pb " << pb);
        lzma_options_lzma options = Preset(2);
        options.lc = lc;
        options.lp = lp;
        options.pb = pb;
        EXPECT_EQ(DecodeLzma1(EncodeLzma1(data, options, true), std::nullopt), data);
      }
}

// A dictionary far smaller than the data makes the window wrap; tiny reads
// split matches across calls.
TEST(Lzma, WrappingWindowAndTinyReads) {
  const Bytes data = testing::MixedData(400000, 3);
  lzma_options_lzma options = Preset(6);
  options.dict_size = 4096;
  const Lzma1Stream stream = EncodeLzma1(data, options, false);
  EXPECT_EQ(DecodeLzma1(stream, data.size()), data);
  EXPECT_EQ(DecodeLzma1(stream, data.size(), 7), data);
  EXPECT_EQ(DecodeLzma1(stream, data.size(), 1).size(), data.size());
}

TEST(Lzma, EmptyAndOneByte) {
  for (const Bytes& data : {Bytes{}, Bytes{42}}) {
    const Lzma1Stream bare = EncodeLzma1(data, Preset(6), false);
    EXPECT_EQ(DecodeLzma1(bare, data.size()), data);
    const Lzma1Stream marked = EncodeLzma1(data, Preset(6), true);
    EXPECT_EQ(DecodeLzma1(marked, std::nullopt), data);
  }
}

TEST(Lzma, RejectsSizeMismatchAndBadProperties) {
  const Bytes data = testing::MixedData(50000, 4);
  const Lzma1Stream bare = EncodeLzma1(data, Preset(6), false);
  EXPECT_THROW(DecodeLzma1(bare, std::nullopt), UnexpectedEnd);  // no marker to end on
  EXPECT_THROW(DecodeLzma1(bare, data.size() + 1), DataError);
  const Lzma1Stream marked = EncodeLzma1(data, Preset(6), true);
  EXPECT_THROW(DecodeLzma1(marked, data.size() - 1), DataError);
  EXPECT_THROW(DecodeLzma1(marked, data.size() + 1), DataError);  // marker came early

  MemoryInStream source(bare.packed);
  const uint8_t bad_byte[] = {225, 0, 0, 1, 0};
  EXPECT_THROW(LzmaDecoder(source, bad_byte, 10), Unsupported);
  const uint8_t too_short[] = {93, 0, 0};
  EXPECT_THROW(LzmaDecoder(source, too_short, 10), Unsupported);
}

// A 4 GiB dictionary in the header of a short stream must not allocate 4 GiB:
// with the size known the window is the size; without it, it grows with output.
TEST(Lzma, HugeDeclaredDictionaryOnShortStream) {
  const Bytes data = testing::MixedData(3000, 5);
  Lzma1Stream stream = EncodeLzma1(data, Preset(1), true);
  stream.properties[1] = stream.properties[2] = stream.properties[3] = stream.properties[4] = 0xFF;
  EXPECT_EQ(DecodeLzma1(stream, data.size()), data);
  EXPECT_EQ(DecodeLzma1(stream, std::nullopt), data);
}

// Every truncation and many single-byte flips: an exception or some output,
// never a crash (the ASan build watches the memory side).
TEST(Lzma, DamagedInputFailsCleanly) {
  const Bytes data = testing::MixedData(20000, 6);
  const Lzma1Stream stream = EncodeLzma1(data, Preset(6), true);
  for (size_t cut = 0; cut < stream.packed.size(); cut += 1 + cut / 64) {
    Lzma1Stream truncated = stream;
    truncated.packed.resize(cut);
    EXPECT_THROW(DecodeLzma1(truncated, std::nullopt), DataError) << "cut " << cut;
    EXPECT_THROW(DecodeLzma1(truncated, data.size()), DataError) << "cut " << cut;
  }
  std::mt19937 rng(7);
  size_t failures = 0;
  for (int i = 0; i < 300; ++i) {
    Lzma1Stream flipped = stream;
    flipped.packed[rng() % flipped.packed.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    try {
      if (DecodeLzma1(flipped, std::nullopt) != data) ++failures;
    } catch (const DataError&) {
      ++failures;
    }
  }
  EXPECT_GT(failures, 250u);
}

}  // namespace
}  // namespace cindral::codec
