// LZMA2: LZMA chunks and stored chunks with dictionary, state and property
// resets. Blocks that start with a dictionary reset decode independently, so
// several threads can work on them.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/codec/stream.h"

namespace cindral::codec {

// dictionary_property: the one LZMA2 property byte (0..40).
class Lzma2Decoder final : public InStream {
 public:
  Lzma2Decoder(InStream& source, uint8_t dictionary_property, unsigned threads = 1);
  ~Lzma2Decoder() override;
  size_t Read(uint8_t* data, size_t size) override;

 private:
  std::unique_ptr<InStream> impl_;
};

}  // namespace cindral::codec
