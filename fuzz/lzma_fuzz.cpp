// libFuzzer target for the LZMA family: the first byte picks the decoder and
// its settings, the rest is the stream. Only the documented exceptions may
// come out.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/codec/bcj2.h"
#include "engine/codec/branch_filters.h"
#include "engine/codec/delta.h"
#include "engine/codec/lzma.h"
#include "engine/codec/lzma2.h"

namespace {

using namespace cindral::codec;

constexpr size_t kMaxOutput = size_t{8} << 20;

void Drain(InStream& stream) {
  std::vector<uint8_t> buffer(4093);
  size_t total = 0, got;
  while ((got = stream.Read(buffer.data(), buffer.size())) != 0 && total < kMaxOutput) total += got;
}

void Run(uint8_t selector, std::span<const uint8_t> data) {
  switch (selector % 5) {
    case 0: {
      if (data.size() < 5) return;
      MemoryInStream source(data.subspan(5));
      std::optional<uint64_t> size;
      if (selector & 0x80) size = (selector >> 3) * 997u;
      LzmaDecoder decoder(source, data.first(5), size);
      Drain(decoder);
      break;
    }
    case 1: {
      if (data.empty()) return;
      MemoryInStream source(data.subspan(1));
      Lzma2Decoder decoder(source, data[0] % 41, (selector & 0x80) ? 2 : 1);
      Drain(decoder);
      break;
    }
    case 2: {
      MemoryInStream source(data);
      BranchDecoder decoder(source, static_cast<BranchFilter>((selector >> 3) % 8), {});
      Drain(decoder);
      break;
    }
    case 3: {
      if (data.empty()) return;
      MemoryInStream source(data.subspan(1));
      DeltaDecoder decoder(source, data.first(1));
      Drain(decoder);
      break;
    }
    default: {
      if (data.size() < 3) return;
      // Three length bytes split the rest into the four BCJ2 inputs.
      std::span<const uint8_t> rest = data.subspan(3);
      std::span<const uint8_t> parts[4];
      for (int i = 0; i < 3; ++i) {
        const size_t n = std::min<size_t>(rest.size(), data[i] * 4u);
        parts[i] = rest.first(n);
        rest = rest.subspan(n);
      }
      parts[3] = rest;
      MemoryInStream main(parts[0]), call(parts[1]), jump(parts[2]), rc(parts[3]);
      Bcj2Decoder decoder(main, call, jump, rc);
      Drain(decoder);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  try {
    Run(data[0], std::span<const uint8_t>(data + 1, size - 1));
  } catch (const DataError&) {
  } catch (const Unsupported&) {
  }
  return 0;
}
