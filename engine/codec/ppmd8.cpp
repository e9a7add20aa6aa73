#include "engine/codec/ppmd8.h"

namespace cindral::codec {

Ppmd8Decoder::Ppmd8Decoder(InStream& /*source*/, uint64_t /*unpack_size*/) {}

size_t Ppmd8Decoder::Read(uint8_t* /*data*/, size_t size) {
  if (size == 0) return 0;
  throw Unsupported("unsupported method");
}

}  // namespace cindral::codec
