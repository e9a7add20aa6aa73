// PPMd variant I revision 1 with its range coder, as ZIP stores it (method 98).
#pragma once

#include "engine/codec/stream.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace cindral::codec {

// ZIP PPMd: the stream starts with a 16-bit little-endian parameter word
// (bits 0-3 order less 1, bits 4-11 memory in MiB less 1, bits 12-15 the
// restoration method); unpack_size comes from the ZIP headers. Orders 2-16
// and restoration methods 0 (restart) and 1 (cut off) are decoded; method 2
// (freeze) and higher throw Unsupported, as do the reserved values.
class Ppmd8Decoder final : public InStream {
 public:
  Ppmd8Decoder(InStream& source, uint64_t unpack_size);
  ~Ppmd8Decoder() override;
  size_t Read(uint8_t* data, size_t size) override;

  class Model;

 private:
  void ReadParameters();

  InStream& source_;
  uint64_t left_;
  unsigned order_ = 0;
  uint32_t memory_size_ = 0;
  unsigned restore_method_ = 0;
  bool parameters_read_ = false;
  std::unique_ptr<Model> model_;
};

}  // namespace cindral::codec
