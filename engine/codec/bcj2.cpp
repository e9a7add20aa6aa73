#include "engine/codec/bcj2.h"

#include <algorithm>

namespace cindral::codec {
namespace {

constexpr size_t kBufferSize = size_t{1} << 16;
constexpr uint32_t kTop = 1u << 24;

// E8 (call), E9 (jump) and the two-byte 0F 8x conditional jumps.
bool IsBranch(uint8_t prev, uint8_t b) {
  return (b & 0xFE) == 0xE8 || (prev == 0x0F && (b & 0xF0) == 0x80);
}

}  // namespace

Bcj2Decoder::Bcj2Decoder(InStream& main, InStream& call, InStream& jump, InStream& range_coded)
    : main_(main),
      call_(call),
      jump_(jump),
      range_coded_(range_coded),
      main_buffer_(kBufferSize),
      rc_buffer_(kBufferSize) {
  std::fill(std::begin(probs_), std::end(probs_), uint16_t{1024});
}

uint8_t Bcj2Decoder::RangeByte() {
  if (rc_pos_ == rc_end_) {
    rc_end_ = range_coded_.Read(rc_buffer_.data(), rc_buffer_.size());
    rc_pos_ = 0;
    if (rc_end_ == 0) throw UnexpectedEnd("unexpected end of BCJ2 data");
  }
  return rc_buffer_[rc_pos_++];
}

bool Bcj2Decoder::DecodeBit(uint16_t& prob) {
  const uint32_t bound = (range_ >> 11) * prob;
  bool bit;
  if (code_ < bound) {
    range_ = bound;
    prob += (2048 - prob) >> 5;
    bit = false;
  } else {
    range_ -= bound;
    code_ -= bound;
    prob -= prob >> 5;
    bit = true;
  }
  if (range_ < kTop) {
    range_ <<= 8;
    code_ = (code_ << 8) | RangeByte();
  }
  return bit;
}

void Bcj2Decoder::FillMain() {
  if (main_done_) return;
  main_end_ = main_.Read(main_buffer_.data(), main_buffer_.size());
  main_pos_ = 0;
  if (main_end_ < main_buffer_.size()) main_done_ = true;
}

// Reads one stored target; false only when the stream ended cleanly before it.
bool Bcj2Decoder::ReadTarget(InStream& stream, uint8_t* out) {
  const size_t got = stream.Read(out, 4);
  if (got == 4) return true;
  if (got == 0) return false;
  throw UnexpectedEnd("unexpected end of BCJ2 data");
}

// The opcode was handed out; its bit says whether a target follows from the
// call (E8) or jump (E9, Jcc) stream. After the last main byte the encoder
// may or may not have coded a bit, so there the target stream decides.
void Bcj2Decoder::DecodeBranch(uint8_t opcode, uint8_t before) {
  uint16_t& prob = opcode == 0xE8 ? probs_[before] : probs_[opcode == 0xE9 ? 256 : 257];
  InStream& targets = opcode == 0xE8 ? call_ : jump_;
  uint8_t address[4];
  if (main_pos_ == main_end_) FillMain();
  if (main_pos_ == main_end_) {
    if (!ReadTarget(targets, address)) {
      finished_ = true;
      return;
    }
    if (!DecodeBit(prob)) throw DataError("BCJ2 streams disagree");
  } else {
    if (!DecodeBit(prob)) return;
    if (!ReadTarget(targets, address)) throw UnexpectedEnd("unexpected end of BCJ2 data");
  }
  const uint32_t stored = uint32_t{address[0]} << 24 | uint32_t{address[1]} << 16 |
                          uint32_t{address[2]} << 8 | address[3];
  const uint32_t target = stored - (out_pos_ + 4);
  for (int i = 0; i < 4; ++i) pending_[i] = static_cast<uint8_t>(target >> (8 * i));
  pending_pos_ = 0;
  out_pos_ += 4;
  prev_ = static_cast<uint8_t>(target >> 24);
}

size_t Bcj2Decoder::Read(uint8_t* data, size_t size) {
  if (!started_) {
    for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | RangeByte();
    started_ = true;
  }
  size_t done = 0;
  while (done < size) {
    if (pending_pos_ < 4) {
      data[done++] = pending_[pending_pos_++];
      continue;
    }
    if (finished_) break;
    if (main_pos_ == main_end_) {
      FillMain();
      if (main_pos_ == main_end_) {
        finished_ = true;
        break;
      }
    }
    // Plain bytes up to the next branch opcode.
    const uint8_t* const main = main_buffer_.data();
    size_t pos = main_pos_;
    const size_t limit = std::min(main_end_, pos + (size - done));
    uint8_t prev = prev_;
    uint8_t before = 0;
    bool branch = false;
    while (pos < limit) {
      const uint8_t b = main[pos++];
      data[done++] = b;
      if (IsBranch(prev, b)) {
        branch = true;
        before = prev;
        prev = b;
        break;
      }
      prev = b;
    }
    out_pos_ += static_cast<uint32_t>(pos - main_pos_);
    main_pos_ = pos;
    prev_ = prev;
    if (branch) DecodeBranch(prev, before);
  }
  return done;
}

}  // namespace cindral::codec
