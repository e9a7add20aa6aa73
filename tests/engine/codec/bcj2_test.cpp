// Streams 7zz wrote: BCJ2's four inputs, the ARM64 and RISC-V filters (which
// xz's liblzma here does not cover in full) and LZMA/LZMA2 as 7z stores them.
#include "engine/codec/bcj2.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "engine/codec/branch_filters.h"
#include "engine/codec/lzma.h"
#include "engine/codec/lzma2.h"
#include "tests/engine/codec/read_all.h"

namespace cindral::codec {
namespace {

using Bytes = std::vector<uint8_t>;

std::filesystem::path Fixture(const std::string& name) {
  return std::filesystem::path(CINDRAL_LZMA_FIXTURES) / name;
}

Bytes ReadFixture(const std::string& name) {
  std::ifstream in(Fixture(name), std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture " + name);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Bcj2Inputs {
  Bytes streams[4];
  Bytes expected;
};

Bcj2Inputs LoadBcj2(const std::string& name) {
  Bcj2Inputs inputs;
  for (int i = 0; i < 4; ++i) inputs.streams[i] = ReadFixture(name + ".in" + std::to_string(i));
  inputs.expected = ReadFixture(name + ".expected");
  return inputs;
}

Bytes DecodeBcj2(const Bcj2Inputs& inputs, size_t chunk = 65536) {
  MemoryInStream main(inputs.streams[0]), call(inputs.streams[1]), jump(inputs.streams[2]),
      rc(inputs.streams[3]);
  Bcj2Decoder decoder(main, call, jump, rc);
  Bytes out;
  std::vector<uint8_t> buffer(chunk);
  for (;;) {
    const size_t got = decoder.Read(buffer.data(), chunk);
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(got));
    if (got < chunk) return out;
  }
}

class Bcj2Fixture : public ::testing::TestWithParam<const char*> {};

TEST_P(Bcj2Fixture, DecodesWhat7zzEncoded) {
  if (!std::filesystem::exists(Fixture(std::string(GetParam()) + ".expected")))
    GTEST_SKIP() << "fixture input not available on this machine";
  const Bcj2Inputs inputs = LoadBcj2(GetParam());
  EXPECT_NE(inputs.streams[0], inputs.expected) << "BCJ2 converted nothing";
  EXPECT_EQ(DecodeBcj2(inputs), inputs.expected);
  EXPECT_EQ(DecodeBcj2(inputs, 3), inputs.expected);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Bcj2Fixture,
                         ::testing::Values("bcj2_dll", "bcj2_synthetic", "bcj2_tail_call",
                                           "bcj2_tail_opcode"));

TEST(Bcj2, DamagedStreamsFailCleanly) {
  const Bcj2Inputs inputs = LoadBcj2("bcj2_synthetic");
  for (int stream = 0; stream < 4; ++stream) {
    for (const size_t keep : {size_t{0}, size_t{1}, inputs.streams[stream].size() / 2}) {
      Bcj2Inputs cut = inputs;
      cut.streams[stream].resize(keep);
      // A short main stream is just shorter output; the others run dry.
      if (stream == 0) {
        EXPECT_NE(DecodeBcj2(cut), inputs.expected);
      } else {
        EXPECT_THROW(DecodeBcj2(cut), DataError) << "stream " << stream << " keep " << keep;
      }
    }
  }
  std::mt19937 rng(31);
  for (int i = 0; i < 100; ++i) {
    Bcj2Inputs flipped = inputs;
    Bytes& s = flipped.streams[3];
    s[rng() % s.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    try {
      DecodeBcj2(flipped);
    } catch (const DataError&) {
    }
  }
}

class SevenZipFilterFixture
    : public ::testing::TestWithParam<std::pair<const char*, BranchFilter>> {};

TEST_P(SevenZipFilterFixture, DecodesWhat7zzEncoded) {
  const std::string name = GetParam().first;
  const Bytes filtered = ReadFixture(name + ".in0");
  const Bytes expected = ReadFixture(name + ".expected");
  EXPECT_NE(filtered, expected) << "filter converted nothing";
  for (const size_t chunk : {size_t{65536}, size_t{5}}) {
    MemoryInStream source(filtered);
    BranchDecoder decoder(source, GetParam().second, {});
    Bytes out;
    std::vector<uint8_t> buffer(chunk);
    size_t got;
    do {
      got = decoder.Read(buffer.data(), chunk);
      out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(got));
    } while (got == chunk);
    EXPECT_EQ(out, expected) << "chunk " << chunk;
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SevenZipFilterFixture,
                         ::testing::Values(std::pair{"arm64", BranchFilter::kArm64},
                                           std::pair{"riscv", BranchFilter::kRiscV}));

TEST(SevenZipLzma, KnownSizeWithEndMarker) {
  const Bytes packed = ReadFixture("lzma_eos.packed");
  const Bytes expected = ReadFixture("lzma_eos.expected");
  for (const std::optional<uint64_t> size :
       {std::optional<uint64_t>(expected.size()), std::optional<uint64_t>()}) {
    MemoryInStream source(packed);
    LzmaDecoder decoder(source, ReadFixture("lzma_eos.props"), size);
    EXPECT_EQ(testing::ReadAll(decoder, 40000), expected);
  }
}

TEST(SevenZipLzma, Lzma2BlocksFromTwoEncoderThreads) {
  const Bytes packed = ReadFixture("lzma2_blocks.packed");
  const Bytes expected = ReadFixture("lzma2_blocks.expected");
  // Walk the chunk headers: the case only matters with several blocks.
  size_t resets = 0;
  for (size_t at = 0; at < packed.size() && packed[at] != 0;) {
    const uint8_t control = packed[at];
    if (control == 1 || control >= 0xE0) ++resets;
    if (control < 0x80) {
      at += 3 + (size_t{packed[at + 1]} << 8 | packed[at + 2]) + 1;
    } else {
      at += (control >= 0xC0 ? 6 : 5) + (size_t{packed[at + 3]} << 8 | packed[at + 4]) + 1;
    }
  }
  EXPECT_GT(resets, 2u);
  for (const unsigned threads : {1u, 2u, 3u}) {
    MemoryInStream source(packed);
    Lzma2Decoder decoder(source, ReadFixture("lzma2_blocks.props")[0], threads);
    EXPECT_EQ(testing::ReadAll(decoder, 40000), expected) << "threads " << threads;
  }
}

}  // namespace
}  // namespace cindral::codec
