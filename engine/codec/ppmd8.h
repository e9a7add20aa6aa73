// PPMd variant I revision 1 decoder, as ZIP stores it (method 98).
#pragma once

#include "engine/codec/stream.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace cindral::codec {

// ZIP PPMd: reads its own 2-byte parameter word (order, memory in MiB,
// restore method) from the start of source; unpack_size from the ZIP headers.
// Throws Unsupported if you cannot finish it.
class Ppmd8Decoder final : public InStream {
 public:
  Ppmd8Decoder(InStream& source, uint64_t unpack_size);
  ~Ppmd8Decoder() override;
  size_t Read(uint8_t* data, size_t size) override;

  class Model;

 private:
  InStream& source_;
  uint64_t left_;
  std::unique_ptr<Model> model_;
};

}  // namespace cindral::codec
