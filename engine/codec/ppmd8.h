// PPMd variant I revision 1, as ZIP stores it (method 98). Not implemented
// yet: reading fails with Unsupported so that readers report the method as
// unsupported instead of producing wrong data.
#pragma once

#include "engine/codec/stream.h"

#include <cstddef>
#include <cstdint>

namespace cindral::codec {

// ZIP PPMd: reads its own 2-byte parameter word (order, memory in MiB,
// restore method) from the start of source; unpack_size from the ZIP headers.
// Throws Unsupported if you cannot finish it.
class Ppmd8Decoder final : public InStream {
 public:
  Ppmd8Decoder(InStream& source, uint64_t unpack_size);
  size_t Read(uint8_t* data, size_t size) override;
};

}  // namespace cindral::codec
