#include "engine/codec/branch_filters.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/codec/delta.h"
#include "engine/codec/lzma2.h"
#include "tests/engine/codec/lzma_test_util.h"

namespace cindral::codec {
namespace {

using testing::Bytes;

struct FilterCase {
  const char* name;
  lzma_vli id;
  BranchFilter filter;
};

constexpr FilterCase kFilters[] = {
    {"x86", LZMA_FILTER_X86, BranchFilter::kX86},
    {"powerpc", LZMA_FILTER_POWERPC, BranchFilter::kPpc},
    {"ia64", LZMA_FILTER_IA64, BranchFilter::kIa64},
    {"arm", LZMA_FILTER_ARM, BranchFilter::kArm},
    {"armthumb", LZMA_FILTER_ARMTHUMB, BranchFilter::kArmThumb},
    {"sparc", LZMA_FILTER_SPARC, BranchFilter::kSparc},
    {"arm64", LZMA_FILTER_ARM64, BranchFilter::kArm64},
};

// liblzma's encoder runs the filter, then LZMA2; the test undoes both.
Bytes EncodeChain(lzma_vli filter_id, void* filter_options, const Bytes& data) {
  lzma_options_lzma lzma;
  lzma_lzma_preset(&lzma, 1);
  lzma.dict_size = 1 << 20;  // property 20
  const lzma_filter filters[] = {
      {filter_id, filter_options}, {LZMA_FILTER_LZMA2, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
  return testing::RawEncode(filters, data);
}

Bytes UndoLzma2(const Bytes& packed) {
  MemoryInStream source(packed);
  Lzma2Decoder lzma2(source, 20);
  return testing::ReadAll(lzma2);
}

Bytes UndoBranch(const Bytes& packed, BranchFilter filter, std::span<const uint8_t> properties,
                 size_t chunk) {
  MemoryInStream source(packed);
  Lzma2Decoder lzma2(source, 20);
  BranchDecoder branch(lzma2, filter, properties);
  return testing::ReadAll(branch, chunk);
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(BranchFilters, MatchXzFiltersOnCodeLikeData) {
  // Odd sizes leave tails no instruction fits in; they pass through as is.
  for (const size_t size : {size_t{500003}, size_t{3}, size_t{0}}) {
    const Bytes data = testing::CodeLikeData(size, 21);
    for (const FilterCase& c : kFilters) {
      SCOPED_TRACE(::testing::Message() << c.name << " size " << size);
      for (const uint32_t start : {0u, 0x10000u}) {
        lzma_options_bcj options{start};
        const Bytes packed = EncodeChain(c.id, &options, data);
        if (size > 1000 && start == 0)
          EXPECT_NE(UndoLzma2(packed), data) << "filter changed nothing";
        uint8_t properties[4] = {static_cast<uint8_t>(start), static_cast<uint8_t>(start >> 8),
                                 static_cast<uint8_t>(start >> 16),
                                 static_cast<uint8_t>(start >> 24)};
        const std::span<const uint8_t> props =
            start ? std::span<const uint8_t>(properties) : std::span<const uint8_t>();
        EXPECT_EQ(UndoBranch(packed, c.filter, props, 65536), data);
        if (size > 1000) EXPECT_EQ(UndoBranch(packed, c.filter, props, 333), data);
      }
    }
  }
}

// A real Windows x86-64 binary: E8/E9 runs in real code, not just random ones.
TEST(BranchFilters, X86OnRealBinary) {
  const std::filesystem::path dll = "/usr/x86_64-w64-mingw32/lib/zlib1.dll";
  if (!std::filesystem::exists(dll)) GTEST_SKIP() << "no mingw-w64 runtime binary here";
  const Bytes data = ReadFileBytes(dll);
  lzma_options_bcj options{0};
  const Bytes packed = EncodeChain(LZMA_FILTER_X86, &options, data);
  EXPECT_NE(UndoLzma2(packed), data);
  EXPECT_EQ(UndoBranch(packed, BranchFilter::kX86, {}, 4096), data);
}

TEST(BranchFilters, RejectsBadProperties) {
  MemoryInStream source(Bytes{});
  const uint8_t two[2] = {1, 2};
  EXPECT_THROW(BranchDecoder(source, BranchFilter::kX86, two), Unsupported);
  EXPECT_THROW(DeltaDecoder(source, {}), Unsupported);
}

TEST(Delta, MatchesXzDeltaAtSeveralDistances) {
  const Bytes data = testing::MixedData(300001, 22);
  for (const uint32_t distance : {1u, 2u, 4u, 7u, 256u}) {
    SCOPED_TRACE(::testing::Message() << "distance " << distance);
    lzma_options_delta options{};
    options.type = LZMA_DELTA_TYPE_BYTE;
    options.dist = distance;
    const Bytes packed = EncodeChain(LZMA_FILTER_DELTA, &options, data);
    for (const size_t chunk : {size_t{65536}, size_t{3}}) {
      MemoryInStream source(packed);
      Lzma2Decoder lzma2(source, 20);
      const uint8_t property = static_cast<uint8_t>(distance - 1);
      DeltaDecoder delta(lzma2, std::span<const uint8_t>(&property, 1));
      EXPECT_EQ(testing::ReadAll(delta, chunk), data);
    }
  }
}

}  // namespace
}  // namespace cindral::codec
