// PPMd variant H decoder with the range coder of 7z (method 030401).
#pragma once

#include "engine/codec/stream.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace cindral::codec {

// 7z PPMd: properties = 5 bytes (order byte, 32-bit LE memory size);
// unpack_size known.
class Ppmd7Decoder final : public InStream {
 public:
  Ppmd7Decoder(InStream& source, std::span<const uint8_t> properties, uint64_t unpack_size);
  ~Ppmd7Decoder() override;
  size_t Read(uint8_t* data, size_t size) override;

  class Model;

 private:
  InStream& source_;
  unsigned order_;
  uint32_t memory_size_;
  uint64_t left_;
  std::unique_ptr<Model> model_;
};

}  // namespace cindral::codec
