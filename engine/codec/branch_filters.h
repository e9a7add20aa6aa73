// Branch converters of the 7z and xz formats: executables store call and
// jump targets as absolute addresses so that repeated targets compress; the
// decoders turn them back into the relative form the processor uses.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/codec/stream.h"

namespace cindral::codec {

enum class BranchFilter { kX86, kPpc, kIa64, kArm, kArmThumb, kSparc, kArm64, kRiscV };

class BranchDecoder final : public InStream {  // properties: optional start offset (4 bytes LE)
 public:
  BranchDecoder(InStream& source, BranchFilter filter, std::span<const uint8_t> properties);
  size_t Read(uint8_t* data, size_t size) override;

 private:
  void Fill();

  InStream& source_;
  BranchFilter filter_;
  uint32_t position_ = 0;  // stream position of buffer_[0], as the filters count it
  uint32_t x86_prev_mask_ = 0;
  uint32_t x86_prev_pos_ = 0;
  std::vector<uint8_t> buffer_;
  size_t converted_ = 0;  // buffer_[0, converted_) is ready
  size_t filled_ = 0;
  size_t read_pos_ = 0;
  bool source_done_ = false;
};

}  // namespace cindral::codec
