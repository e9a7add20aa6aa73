// 7z's BCJ2 x86 converter: call and jump targets travel in streams of their
// own, and a range coded bit per E8/E9/Jcc opcode tells whether one was
// taken out.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/codec/stream.h"

namespace cindral::codec {

class Bcj2Decoder final : public InStream {  // the four inputs of 7z's BCJ2 coder, in 7z's order
 public:
  Bcj2Decoder(InStream& main, InStream& call, InStream& jump, InStream& range_coded);
  size_t Read(uint8_t* data, size_t size) override;

 private:
  uint8_t RangeByte();
  bool DecodeBit(uint16_t& prob);
  bool ReadTarget(InStream& stream, uint8_t* out);
  void FillMain();
  void DecodeBranch(uint8_t opcode, uint8_t before);

  InStream& main_;
  InStream& call_;
  InStream& jump_;
  InStream& range_coded_;
  std::vector<uint8_t> main_buffer_;
  size_t main_pos_ = 0, main_end_ = 0;
  bool main_done_ = false;
  std::vector<uint8_t> rc_buffer_;
  size_t rc_pos_ = 0, rc_end_ = 0;
  uint32_t range_ = UINT32_MAX, code_ = 0;
  bool started_ = false;
  uint16_t probs_[258];
  uint8_t prev_ = 0;
  uint32_t out_pos_ = 0;
  uint8_t pending_[4];  // converted address bytes not yet handed out
  unsigned pending_pos_ = 4;
  bool finished_ = false;
};

}  // namespace cindral::codec
