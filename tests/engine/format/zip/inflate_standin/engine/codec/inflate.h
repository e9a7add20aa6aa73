// Test-only stand-in for the engine's own inflate decoder, with its interface,
// backed by zlib (no Deflate64). Used only while engine/codec/inflate.h is not
// in the tree.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/codec/stream.h"

namespace cindral::codec {

enum class DeflateVariant { kDeflate, kDeflate64 };

class InflateDecoder final : public InStream {
 public:
  InflateDecoder(InStream& source, DeflateVariant variant);
  ~InflateDecoder() override;
  size_t Read(uint8_t* data, size_t size) override;
  uint64_t InputConsumed() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cindral::codec
