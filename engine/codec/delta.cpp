#include "engine/codec/delta.h"

namespace cindral::codec {

DeltaDecoder::DeltaDecoder(InStream& source, std::span<const uint8_t> properties)
    : source_(source) {
  if (properties.size() != 1) throw Unsupported("bad delta filter properties");
  distance_ = properties[0] + 1u;
}

size_t DeltaDecoder::Read(uint8_t* data, size_t size) {
  const size_t got = source_.Read(data, size);
  // history_ is a ring of the last 256 bytes; index_ wraps by its type.
  for (size_t i = 0; i < got; ++i) {
    const uint8_t value =
        static_cast<uint8_t>(data[i] + history_[static_cast<uint8_t>(index_ - distance_)]);
    history_[index_++] = value;
    data[i] = value;
  }
  return got;
}

}  // namespace cindral::codec
