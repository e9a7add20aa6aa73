// The delta filter: each byte was stored as its difference to the byte
// distance places before it.
#pragma once

#include <cstdint>
#include <span>

#include "engine/codec/stream.h"

namespace cindral::codec {

class DeltaDecoder final : public InStream {  // properties: 1 byte, distance - 1
 public:
  DeltaDecoder(InStream& source, std::span<const uint8_t> properties);
  size_t Read(uint8_t* data, size_t size) override;

 private:
  InStream& source_;
  unsigned distance_;
  uint8_t history_[256] = {};
  uint8_t index_ = 0;
};

}  // namespace cindral::codec
