// libFuzzer target: the ZIP PPMd (variant I) decoder. The first 2 bytes are
// the output size; the rest is the stream with its parameter word, whose
// memory field is clamped to 16 MiB to keep runs fast.
#include "engine/codec/ppmd8.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cindral::codec;
  if (size < 4) return 0;
  const uint64_t unpack_size = data[0] | uint64_t{data[1]} << 8;
  std::vector<uint8_t> stream(data + 2, data + size);
  stream[1] &= 0xF0;
  MemoryInStream source(stream);
  try {
    Ppmd8Decoder decoder(source, unpack_size << 4);
    uint8_t buffer[4096];
    while (decoder.Read(buffer, sizeof buffer) == sizeof buffer) {
    }
  } catch (const DataError&) {
  } catch (const Unsupported&) {
  }
  return 0;
}
