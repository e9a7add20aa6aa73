#include "engine/codec/stream.h"

#include <algorithm>
#include <cstring>

namespace cindral::codec {

size_t MemoryInStream::Read(uint8_t* data, size_t size) {
  const size_t count = std::min(size, data_.size() - position_);
  if (count != 0) std::memcpy(data, data_.data() + position_, count);
  position_ += count;
  return count;
}

void SkipBytes(InStream& stream, uint64_t count) {
  uint8_t buffer[16384];
  while (count != 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count, sizeof buffer));
    const size_t got = stream.Read(buffer, want);
    if (got != want) throw UnexpectedEnd("unexpected end of data");
    count -= got;
  }
}

}  // namespace cindral::codec
