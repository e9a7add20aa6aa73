#include "engine/codec/ppmd8.h"

namespace cindral::codec {

class Ppmd8Decoder::Model {};

Ppmd8Decoder::Ppmd8Decoder(InStream& source, uint64_t unpack_size)
    : source_(source), left_(unpack_size) {}

Ppmd8Decoder::~Ppmd8Decoder() = default;

size_t Ppmd8Decoder::Read(uint8_t*, size_t) {
  (void)source_;
  (void)left_;
  throw Unsupported("unsupported method");
}

}  // namespace cindral::codec
