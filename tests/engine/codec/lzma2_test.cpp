#include "engine/codec/lzma2.h"

#include <gtest/gtest.h>

#include "tests/engine/codec/lzma_test_util.h"

namespace cindral::codec {
namespace {

using testing::Bytes;

lzma_options_lzma Preset(uint32_t preset) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) throw std::runtime_error("bad preset");
  return options;
}

Bytes EncodeLzma2(const Bytes& data, const lzma_options_lzma& options) {
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, const_cast<lzma_options_lzma*>(&options)},
                                 {LZMA_VLI_UNKNOWN, nullptr}};
  return testing::RawEncode(filters, data);
}

uint8_t DictionaryProperty(uint32_t dictionary) {
  for (uint8_t property = 0; property < 40; ++property) {
    const uint64_t size = uint64_t{2 | (property & 1u)} << (property / 2 + 11);
    if (size >= dictionary) return property;
  }
  return 40;
}

Bytes DecodeLzma2(const Bytes& packed, uint8_t property, unsigned threads = 1,
                  size_t chunk = 65536) {
  MemoryInStream source(packed);
  Lzma2Decoder decoder(source, property, threads);
  return testing::ReadAll(decoder, chunk);
}

// Random blocks between compressible ones make the encoder emit stored
// chunks and the LZMA chunks after them reset state.
Bytes WithIncompressibleRuns(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out = testing::MixedData(size, seed);
  for (size_t at = 0; at + 70000 < out.size(); at += 200000)
    for (size_t i = 0; i < 70000; ++i) out[at + i] = static_cast<uint8_t>(rng());
  return out;
}

TEST(Lzma2, MatchesLiblzmaAtEveryPreset) {
  const Bytes data = WithIncompressibleRuns(500000, 11);
  for (uint32_t preset = 0; preset <= 9; ++preset) {
    SCOPED_TRACE(::testing::Message() << "preset " << preset);
    const lzma_options_lzma options = Preset(preset);
    EXPECT_EQ(DecodeLzma2(EncodeLzma2(data, options), DictionaryProperty(options.dict_size)), data);
  }
  const lzma_options_lzma extreme = Preset(6 | LZMA_PRESET_EXTREME);
  EXPECT_EQ(DecodeLzma2(EncodeLzma2(data, extreme), DictionaryProperty(extreme.dict_size)), data);
}

TEST(Lzma2, LiteralAndPositionBitVariantsAndTinyReads) {
  const Bytes data = testing::MixedData(150000, 12);
  for (const auto& [lc, lp, pb] :
       {std::tuple{0u, 0u, 0u}, {4u, 0u, 2u}, {0u, 4u, 4u}, {1u, 3u, 1u}}) {
    lzma_options_lzma options = Preset(3);
    options.lc = lc;
    options.lp = lp;
    options.pb = pb;
    const Bytes packed = EncodeLzma2(data, options);
    const uint8_t property = DictionaryProperty(options.dict_size);
    EXPECT_EQ(DecodeLzma2(packed, property), data);
    EXPECT_EQ(DecodeLzma2(packed, property, 1, 5), data);
  }
}

// Independent streams joined (dropping all end bytes but the last) give the
// multi-block shape a multi-threaded encoder writes: every block starts with
// a dictionary reset. Tiny dictionaries make each block's window wrap.
Bytes MultiBlockStream(const Bytes& data, size_t block, uint32_t dictionary) {
  lzma_options_lzma options = Preset(1);
  options.dict_size = dictionary;
  Bytes out;
  for (size_t at = 0; at < data.size(); at += block) {
    const Bytes part(data.begin() + static_cast<ptrdiff_t>(at),
                     data.begin() + static_cast<ptrdiff_t>(std::min(data.size(), at + block)));
    Bytes packed = EncodeLzma2(part, options);
    packed.pop_back();
    out.insert(out.end(), packed.begin(), packed.end());
  }
  out.push_back(0);
  return out;
}

TEST(Lzma2, MultiBlockStreamsWithAndWithoutThreads) {
  const Bytes data = WithIncompressibleRuns(3000000, 13);
  const Bytes packed = MultiBlockStream(data, 256 * 1024, 64 * 1024);
  for (const unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(::testing::Message() << "threads " << threads);
    EXPECT_EQ(DecodeLzma2(packed, DictionaryProperty(64 * 1024), threads), data);
    EXPECT_EQ(DecodeLzma2(packed, DictionaryProperty(64 * 1024), threads, 777), data);
  }
  EXPECT_EQ(DecodeLzma2(Bytes{0}, 20, 2), Bytes{});
}

// One block larger than the decoder keeps in memory per thread: the rest of
// the stream is decoded on the calling thread instead.
TEST(Lzma2, OversizedBlockFallsBackToOneThread) {
  Bytes data(70u << 20, 0);
  for (size_t i = 0; i < data.size(); i += 4099) data[i] = static_cast<uint8_t>(i >> 12);
  lzma_options_lzma options = Preset(0);
  options.dict_size = 1 << 20;
  Bytes packed = MultiBlockStream(Bytes(data.begin(), data.begin() + (1 << 20)), 1 << 19, 1 << 20);
  packed.pop_back();
  const Bytes big = EncodeLzma2(data, options);
  packed.insert(packed.end(), big.begin(), big.end());
  Bytes expected(data.begin(), data.begin() + (1 << 20));
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(DecodeLzma2(packed, DictionaryProperty(1 << 20), 2), expected);
}

TEST(Lzma2, RejectsBadPropertiesAndChunks) {
  const Bytes data = testing::MixedData(20000, 14);
  const Bytes packed = EncodeLzma2(data, Preset(6));
  // The dictionary size is announced before any data; properties in a chunk
  // header are data.
  EXPECT_THROW(DecodeLzma2(packed, 41), Unsupported);
  ASSERT_GE(packed[0], 0xE0);
  Bytes wide = packed;
  wide[5] = (0 * 5 + 1) * 9 + 4;  // lc 4 + lp 1
  EXPECT_THROW(DecodeLzma2(wide, 20), DataError);
  Bytes beyond = packed;
  beyond[5] = 9 * 5 * 5;
  EXPECT_THROW(DecodeLzma2(beyond, 20), DataError);
  Bytes no_reset = packed;
  no_reset[0] = static_cast<uint8_t>(0x80 | (packed[0] & 0x1F));  // first chunk lacks resets
  EXPECT_THROW(DecodeLzma2(no_reset, 20), DataError);
  Bytes bad_control = packed;
  bad_control[0] = 0x03;
  EXPECT_THROW(DecodeLzma2(bad_control, 20), DataError);
  EXPECT_THROW(DecodeLzma2(Bytes{0x02, 0x00, 0x00, 'x', 0}, 20), DataError);
  EXPECT_EQ(DecodeLzma2(Bytes{0x01, 0x00, 0x01, 'h', 'i', 0x02, 0x00, 0x00, '!', 0}, 20),
            (Bytes{'h', 'i', '!'}));
}

TEST(Lzma2, DamagedInputFailsCleanly) {
  const Bytes data = WithIncompressibleRuns(300000, 15);
  const Bytes packed = MultiBlockStream(data, 100000, 1 << 16);
  const uint8_t property = DictionaryProperty(1 << 16);
  for (const unsigned threads : {1u, 2u}) {
    for (size_t cut = 0; cut < packed.size(); cut += 1 + cut / 16) {
      const Bytes truncated(packed.begin(), packed.begin() + static_cast<ptrdiff_t>(cut));
      EXPECT_THROW(DecodeLzma2(truncated, property, threads), DataError) << "cut " << cut;
    }
    std::mt19937 rng(16);
    size_t failures = 0;
    for (int i = 0; i < 200; ++i) {
      Bytes flipped = packed;
      flipped[rng() % flipped.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      try {
        if (DecodeLzma2(flipped, property, threads) != data) ++failures;
      } catch (const DataError&) {
        ++failures;
      }
    }
    EXPECT_GT(failures, 100u);
  }
}

}  // namespace
}  // namespace cindral::codec
