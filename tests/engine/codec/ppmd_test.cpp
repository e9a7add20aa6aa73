#include "engine/codec/ppmd7.h"
#include "engine/codec/ppmd8.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/codec/read_all.h"

namespace cindral::codec {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

const fs::path kFixtures = CINDRAL_PPMD_FIXTURES;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A stream made by 7zz: the packed bytes, the coder properties and the plain
// input they came from.
struct Fixture {
  std::string name;
  Bytes packed;
  Bytes props;
  Bytes plain;
};

std::vector<Fixture> Fixtures(const std::string& prefix, size_t at_least = 1) {
  std::vector<Fixture> out;
  for (const auto& entry : fs::directory_iterator(kFixtures)) {
    const fs::path path = entry.path();
    const std::string stem = path.stem().string();
    if (path.extension() != ".packed" || stem.rfind(prefix, 0) != 0) continue;
    const Bytes input_name = ReadFile(fs::path(path).replace_extension(".input"));
    out.push_back(
        {stem, ReadFile(path), ReadFile(fs::path(path).replace_extension(".props")),
         ReadFile(kFixtures / (std::string(input_name.begin(), input_name.end()) + ".bin"))});
  }
  EXPECT_GE(out.size(), at_least) << "fixtures missing in " << kFixtures;
  return out;
}

Bytes Drain(InStream& decoder, size_t chunk) {
  const Bytes out = testing::ReadAll(decoder, chunk);
  uint8_t extra;
  EXPECT_EQ(decoder.Read(&extra, 1), 0u);
  return out;
}

Bytes Decode7(const Bytes& packed, const Bytes& props, uint64_t size, size_t chunk = 65536) {
  MemoryInStream source(packed);
  Ppmd7Decoder decoder(source, props, size);
  return Drain(decoder, chunk);
}

Bytes Decode8(const Bytes& packed, uint64_t size, size_t chunk = 65536) {
  MemoryInStream source(packed);
  Ppmd8Decoder decoder(source, size);
  return Drain(decoder, chunk);
}

TEST(Ppmd7Decoder, Decodes7zzStreamsOfEveryOrderAndMemorySize) {
  for (const Fixture& f : Fixtures("7z_", 13)) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(Decode7(f.packed, f.props, f.plain.size()), f.plain);
  }
}

TEST(Ppmd7Decoder, OddReadSizesGiveTheSameBytes) {
  for (const Fixture& f : Fixtures("7z_binary_o4")) {
    for (size_t chunk : {1, 7, 4095}) {
      SCOPED_TRACE(chunk);
      EXPECT_EQ(Decode7(f.packed, f.props, f.plain.size(), chunk), f.plain);
    }
  }
}

TEST(Ppmd7Decoder, RejectsBadPropertiesBeforeAllocating) {
  const Bytes empty;
  MemoryInStream source(empty);
  EXPECT_THROW(Ppmd7Decoder(source, Bytes{6, 0, 0, 0}, 10), Unsupported);
  EXPECT_THROW(Ppmd7Decoder(source, Bytes{1, 0, 0, 0, 1}, 10), Unsupported);
  EXPECT_THROW(Ppmd7Decoder(source, Bytes{65, 0, 0, 0, 1}, 10), Unsupported);
  EXPECT_THROW(Ppmd7Decoder(source, Bytes{6, 0, 1, 0, 0}, 10), Unsupported);
  EXPECT_THROW(Ppmd7Decoder(source, Bytes{6, 0xff, 0xff, 0xff, 0xff}, 10), Unsupported);
  // Nothing to decode: no model and no read of the source.
  Ppmd7Decoder idle(source, Bytes{6, 0xff, 0xff, 0xff, 0x7f - 1}, 0);
  uint8_t byte;
  EXPECT_EQ(idle.Read(&byte, 1), 0u);
}

// Every cut must fail; a flipped byte may decode to other bytes, as PPMd
// carries no check of its own, but must never crash or read out of bounds.
template <typename Decode>
void ExpectTruncationAndCorruptionFailCleanly(const Fixture& f, Decode decode) {
  for (size_t n = 0; n < f.packed.size(); n += 1 + n / 16) {
    const Bytes cut(f.packed.begin(), f.packed.begin() + std::ptrdiff_t(n));
    EXPECT_THROW(decode(cut), DataError) << n;
  }
  std::mt19937 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    Bytes bad = f.packed;
    bad[rng() % bad.size()] ^= uint8_t(1 + rng() % 255);
    try {
      EXPECT_EQ(decode(bad).size(), f.plain.size());
    } catch (const DataError&) {
    } catch (const Unsupported&) {
    }
  }
}

TEST(Ppmd7Decoder, TruncationAndCorruptionFailCleanly) {
  for (const Fixture& f : Fixtures("7z_small")) {
    ExpectTruncationAndCorruptionFailCleanly(
        f, [&](const Bytes& packed) { return Decode7(packed, f.props, f.plain.size()); });
  }
}

// Orders 2-16, memory from 1 to 256 MiB, restart and cut-off, text, binary
// and random inputs; small memories make the model run out many times.
TEST(Ppmd8Decoder, Decodes7zzZipStreamsOfEveryOrderAndMemorySize) {
  for (const Fixture& f : Fixtures("zip_", 41)) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(Decode8(f.packed, f.plain.size()), f.plain);
  }
}

TEST(Ppmd8Decoder, OddReadSizesAndPrefixesGiveTheSameBytes) {
  for (const Fixture& f : Fixtures("zip_mid_o5_mem1m_a1")) {
    for (size_t chunk : {1, 7, 4095}) {
      SCOPED_TRACE(chunk);
      EXPECT_EQ(Decode8(f.packed, f.plain.size(), chunk), f.plain);
    }
    // A shorter size stops early; one byte is the smallest entry.
    for (size_t size : {1, 2, 1000}) {
      SCOPED_TRACE(size);
      EXPECT_EQ(Decode8(f.packed, size),
                Bytes(f.plain.begin(), f.plain.begin() + std::ptrdiff_t(size)));
    }
  }
}

TEST(Ppmd8Decoder, ParameterWordDecidesWhatIsSupported) {
  const Bytes stream(64, 0);
  auto with_word = [&](uint16_t word) {
    Bytes packed = stream;
    packed[0] = uint8_t(word);
    packed[1] = uint8_t(word >> 8);
    return packed;
  };
  // Order 1 is no PPMd model; freezing (2) and the reserved methods are
  // announced before any data and left out.
  EXPECT_THROW(Decode8(with_word(0x0000 | 0x10), 10), DataError);
  EXPECT_THROW(Decode8(with_word(0x2005), 10), Unsupported);
  EXPECT_THROW(Decode8(with_word(0xF005), 10), Unsupported);
  EXPECT_THROW(Decode8(Bytes{0x05}, 10), UnexpectedEnd);
  // An empty entry reads nothing, not even the parameter word.
  EXPECT_TRUE(Decode8(Bytes{}, 0).empty());
}

TEST(Ppmd8Decoder, TruncationAndCorruptionFailCleanly) {
  for (const Fixture& f : Fixtures("zip_small")) {
    ExpectTruncationAndCorruptionFailCleanly(
        f, [&](const Bytes& packed) { return Decode8(packed, f.plain.size()); });
  }
}

}  // namespace
}  // namespace cindral::codec
