// LZMA decoding: the range decoder, the LZMA symbol decoder over a sliding
// window (shared with LZMA2) and the LZMA pull stream.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/codec/stream.h"

namespace cindral::codec {

// One LZMA symbol decoder with its probabilities, coder state and output
// window. The window grows on demand up to its limit, so a header that
// declares a huge dictionary costs memory only as output is produced. Input is
// decoded from memory; callers guarantee kInputSlack readable bytes past any
// input limit they pass.
class LzmaCore {
 public:
  // No symbol, end marker included, reads more input bytes than this.
  static constexpr size_t kInputSlack = 64;

  enum class Stop { kLimit, kEndMarker };

  explicit LzmaCore(uint64_t window_limit);

  // lc <= 8, lp <= 4, pb <= 4; resets the coder state.
  void SetProperties(unsigned lc, unsigned lp, unsigned pb);
  void ResetState();
  void ResetDictionary();
  // Reads the five range coder start bytes.
  void StartRange(const uint8_t*& in);
  // Final normalization at the end of a range coded stream.
  void FinishRange(const uint8_t*& in);
  bool RangeCodeIsZero() const { return code_ == 0; }

  // Makes room after the write position: grows the window or wraps around to
  // its start. Only valid once every byte written so far has been consumed.
  size_t Room();
  // Decodes until the write position reaches out_limit (at most the window
  // size), in reaches in_limit, or the end marker.
  Stop Decode(const uint8_t*& in, const uint8_t* in_limit, size_t out_limit);
  // Stored bytes (LZMA2 uncompressed chunks) go straight into the window: at
  // most Room() bytes at write_pointer(), then Advance.
  uint8_t* write_pointer() { return window_.get() + pos_; }
  void Advance(size_t size) {
    assert(size <= capacity_ - pos_);
    pos_ += size;
  }

  // Hands over the window; position() bytes of it are the output, as long
  // as the window never wrapped (the limit holds the whole output).
  std::unique_ptr<uint8_t[]> TakeWindow() { return std::move(window_); }
  // Before any output: decodes into window, which holds at least the limit,
  // instead of growing a fresh one (its pages are already mapped).
  void AdoptWindow(std::unique_ptr<uint8_t[]> window, [[maybe_unused]] size_t capacity) {
    assert(pos_ == 0 && capacity >= limit_);
    window_ = std::move(window);
    capacity_ = limit_;
  }

  const uint8_t* window() const { return window_.get(); }
  size_t position() const { return pos_; }
  // Copies up to size decoded bytes from read_pos on, advancing it; returns
  // how many there were.
  size_t CopyDecoded(size_t& read_pos, uint8_t* data, size_t size) const;
  // Bytes of an unfinished match that did not fit before out_limit.
  uint32_t pending_match() const { return pending_len_; }

 private:
  std::vector<uint16_t> probs_;
  unsigned lc_ = 0, lp_ = 0, pb_ = 0;
  uint32_t range_ = 0, code_ = 0;
  uint32_t state_ = 0;
  uint32_t reps_[4] = {};
  uint32_t pending_len_ = 0;

  std::unique_ptr<uint8_t[]> window_;
  size_t capacity_ = 0;
  size_t limit_;
  size_t pos_ = 0;
  bool full_ = false;
  // Low 32 bits of the stream position that window offset 0 stands for.
  uint32_t pos_base_ = 0;
};

// properties: the 5 property bytes (lc/lp/pb byte + 32-bit little-endian dictionary size).
// unpack_size: known size, or nullopt when the stream must end with the end marker.
// A known size with an end marker right at that size is also accepted (ZIP's EOS flag).
class LzmaDecoder final : public InStream {
 public:
  LzmaDecoder(InStream& source, std::span<const uint8_t> properties,
              std::optional<uint64_t> unpack_size);
  size_t Read(uint8_t* data, size_t size) override;

 private:
  void DecodeMore();
  void Refill();
  void ProbeEndMarker();

  InStream& source_;
  std::optional<uint64_t> remaining_;
  std::unique_ptr<LzmaCore> core_;
  std::vector<uint8_t> input_;
  size_t in_pos_ = 0, in_end_ = 0;
  bool source_done_ = false;
  bool started_ = false;
  bool finished_ = false;
  size_t read_pos_ = 0;
};

}  // namespace cindral::codec
