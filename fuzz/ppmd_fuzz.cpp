// libFuzzer target: the 7z PPMd decoder. The first 5 bytes are the coder
// properties (memory clamped to keep runs fast), the next 2 the output size.
#include "engine/codec/ppmd7.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cindral::codec;
  if (size < 7) return 0;
  uint8_t properties[5] = {data[0], data[1], data[2], uint8_t(data[3] & 0x0F), 0};
  const uint64_t unpack_size = data[5] | uint64_t{data[6]} << 8;
  MemoryInStream source({data + 7, size - 7});
  try {
    Ppmd7Decoder decoder(source, properties, unpack_size << 4);
    uint8_t buffer[4096];
    while (decoder.Read(buffer, sizeof buffer) == sizeof buffer) {
    }
  } catch (const DataError&) {
  } catch (const Unsupported&) {
  }
  return 0;
}
