#include "engine/codec/lzma.h"

#include <algorithm>
#include <cstring>

namespace cindral::codec {
namespace {

constexpr uint32_t kTop = 1u << 24;
constexpr unsigned kModelBits = 11;
constexpr uint32_t kModelTotal = 1u << kModelBits;
constexpr unsigned kMoveBits = 5;

constexpr unsigned kStates = 12;
constexpr unsigned kPosStatesMax = 16;
constexpr unsigned kLiteralStates = 7;

// Offsets into the one flat probability array.
constexpr size_t kIsMatch = 0;
constexpr size_t kIsRep = kIsMatch + kStates * kPosStatesMax;
constexpr size_t kIsRepG0 = kIsRep + kStates;
constexpr size_t kIsRepG1 = kIsRepG0 + kStates;
constexpr size_t kIsRepG2 = kIsRepG1 + kStates;
constexpr size_t kIsRep0Long = kIsRepG2 + kStates;
constexpr size_t kPosSlot = kIsRep0Long + kStates * kPosStatesMax;
constexpr size_t kSpecPos = kPosSlot + 4 * 64;
constexpr size_t kAlign = kSpecPos + 115;
constexpr size_t kLenCoder = kAlign + 16;
constexpr size_t kLenCoderSize = 2 + 2 * kPosStatesMax * 8 + 256;
constexpr size_t kRepLenCoder = kLenCoder + kLenCoderSize;
constexpr size_t kLiteral = kRepLenCoder + kLenCoderSize;
constexpr size_t kLenLow = 2;
constexpr size_t kLenMid = kLenLow + kPosStatesMax * 8;
constexpr size_t kLenHigh = kLenMid + kPosStatesMax * 8;

constexpr uint8_t kStateAfterLiteral[kStates] = {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 4, 5};

constexpr size_t kOutputStep = size_t{1} << 18;
constexpr size_t kInputBuffer = size_t{1} << 16;

}  // namespace

#define LZMA_LIKELY(x) __builtin_expect(!!(x), 1)
#define LZMA_UNLIKELY(x) __builtin_expect(!!(x), 0)

// The range decoder works on locals (range, code, in, bound) of the function
// that uses these; every update normalizes right away, so a stream ends with
// its last byte consumed.
#define RC_NORMALIZE()          \
  if (range < kTop) {           \
    range <<= 8;                \
    code = (code << 8) | *in++; \
  }
#define RC_BOUND(p) bound = (range >> kModelBits) * *(p)
#define RC_UPDATE_0(p)                       \
  range = bound;                             \
  *(p) += (kModelTotal - *(p)) >> kMoveBits; \
  RC_NORMALIZE()
#define RC_UPDATE_1(p)       \
  range -= bound;            \
  code -= bound;             \
  *(p) -= *(p) >> kMoveBits; \
  RC_NORMALIZE()
#define RC_TREE_STEP(probs, sym)    \
  do {                              \
    uint16_t* p_ = (probs) + (sym); \
    RC_BOUND(p_);                   \
    if (code < bound) {             \
      RC_UPDATE_0(p_);              \
      sym += sym;                   \
    } else {                        \
      RC_UPDATE_1(p_);              \
      sym += sym + 1;               \
    }                               \
  } while (0)
// A tree step without a branch on the decoded bit, for literal bits, which
// are too close to random for the branch predictor. Both probability updates
// are p + (target - p) / 32 rounded down: target 2048 after a 0, and 31 after
// a 1, where the floor of (31 - p) / 32 is minus the floor of p / 32.
#define RC_TREE_STEP_SELECT(probs, sym)                                    \
  do {                                                                     \
    uint16_t* p_ = (probs) + (sym);                                        \
    const int32_t v_ = *p_;                                                \
    bound = (range >> kModelBits) * static_cast<uint32_t>(v_);             \
    const uint32_t one_ = code >= bound;                                   \
    range = one_ ? range - bound : bound;                                  \
    code -= bound & (0u - one_);                                           \
    const int32_t target_ = one_ ? 31 : static_cast<int32_t>(kModelTotal); \
    *p_ = static_cast<uint16_t>(v_ + ((target_ - v_) >> kMoveBits));       \
    sym += sym + one_;                                                     \
    RC_NORMALIZE()                                                         \
  } while (0)
#define RC_REVERSE_STEP(probs, m, result, bit_value) \
  do {                                               \
    uint16_t* p_ = (probs) + (m);                    \
    RC_BOUND(p_);                                    \
    if (code < bound) {                              \
      RC_UPDATE_0(p_);                               \
      m += m;                                        \
    } else {                                         \
      RC_UPDATE_1(p_);                               \
      m += m + 1;                                    \
      result |= (bit_value);                         \
    }                                                \
  } while (0)
// Leaves the match length minus 2 in out.
#define DECODE_LENGTH(coder, out)                        \
  do {                                                   \
    uint16_t* lc_ = (coder);                             \
    RC_BOUND(lc_);                                       \
    if (code < bound) {                                  \
      RC_UPDATE_0(lc_);                                  \
      uint16_t* t_ = lc_ + kLenLow + (pos_state << 3);   \
      out = 1;                                           \
      RC_TREE_STEP(t_, out);                             \
      RC_TREE_STEP(t_, out);                             \
      RC_TREE_STEP(t_, out);                             \
      out -= 8;                                          \
    } else {                                             \
      RC_UPDATE_1(lc_);                                  \
      RC_BOUND(lc_ + 1);                                 \
      if (code < bound) {                                \
        RC_UPDATE_0(lc_ + 1);                            \
        uint16_t* t_ = lc_ + kLenMid + (pos_state << 3); \
        out = 1;                                         \
        RC_TREE_STEP(t_, out);                           \
        RC_TREE_STEP(t_, out);                           \
        RC_TREE_STEP(t_, out);                           \
      } else {                                           \
        RC_UPDATE_1(lc_ + 1);                            \
        uint16_t* t_ = lc_ + kLenHigh;                   \
        out = 1;                                         \
        do {                                             \
          RC_TREE_STEP(t_, out);                         \
        } while (out < 0x100);                           \
        out -= 0x100 - 16;                               \
      }                                                  \
    }                                                    \
  } while (0)

LzmaCore::LzmaCore(uint64_t window_limit)
    : limit_(static_cast<size_t>(std::clamp<uint64_t>(window_limit, 1, UINT32_MAX))) {}

void LzmaCore::SetProperties(unsigned lc, unsigned lp, unsigned pb) {
  lc_ = lc;
  lp_ = lp;
  pb_ = pb;
  probs_.resize(kLiteral + (size_t{0x300} << (lc + lp)));
  ResetState();
}

void LzmaCore::ResetState() {
  std::fill(probs_.begin(), probs_.end(), static_cast<uint16_t>(kModelTotal / 2));
  state_ = 0;
  std::fill(std::begin(reps_), std::end(reps_), 0);
  pending_len_ = 0;
}

void LzmaCore::ResetDictionary() {
  pos_ = 0;
  full_ = false;
  ClearLastByte();
  pos_base_ = 0;
  state_ = 0;
  pending_len_ = 0;
}

void LzmaCore::StartRange(const uint8_t*& in) {
  if (in[0] != 0) throw DataError("bad LZMA range coder start");
  code_ = uint32_t{in[1]} << 24 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 8 | in[4];
  range_ = UINT32_MAX;
  in += 5;
}

size_t LzmaCore::Room() {
  if (pos_ < capacity_) return capacity_ - pos_;
  if (capacity_ < limit_) {
    // Fourfold steps copy and fault in a third of the output once more, not
    // all of it, and the old window beside the new one at the last step is a
    // quarter of the limit rather than a half.
    const size_t grown = std::min(limit_, std::max<size_t>(capacity_ * 4, size_t{1} << 16));
    // Left uninitialized: only bytes already written are ever read.
    std::unique_ptr<uint8_t[]> bigger(new uint8_t[grown]);
    if (pos_ != 0) std::memcpy(bigger.get(), window_.get(), pos_);
    window_ = std::move(bigger);
    capacity_ = grown;
    if (pos_ == 0) ClearLastByte();
  } else {
    pos_base_ += static_cast<uint32_t>(capacity_);
    pos_ = 0;
    full_ = true;
  }
  return capacity_ - pos_;
}

// Copies length bytes from distance back; the destination never wraps, the
// source may. Until the window wraps, the bytes after the write position are
// not history yet, so a copy may run up to 15 bytes past its end in whole
// steps of 16 (or 8 when the source is closer).
static __attribute__((always_inline)) inline void CopyMatch(uint8_t* dict, size_t capacity,
                                                            bool full, size_t& pos, size_t distance,
                                                            size_t length) {
  size_t src = pos >= distance ? pos - distance : pos + capacity - distance;
  uint8_t* dst = dict + pos;
  pos += length;
  if (LZMA_LIKELY(!full && distance >= 8 && capacity - pos >= 16 && src < pos - length)) {
    const uint8_t* from = dict + src;
    uint8_t* const end = dict + pos;
    if (distance >= 16) {
      do {
        std::memcpy(dst, from, 16);
        dst += 16;
        from += 16;
      } while (dst < end);
    } else {
      do {
        std::memcpy(dst, from, 8);
        dst += 8;
        from += 8;
      } while (dst < end);
    }
    return;
  }
  if (LZMA_LIKELY(src + length <= capacity)) {
    const uint8_t* from = dict + src;
    if (distance >= 8 && src < pos - length) {
      // Non-overlapping in steps of 8 unless the source is closer.
      while (length >= 8) {
        std::memcpy(dst, from, 8);
        dst += 8;
        from += 8;
        length -= 8;
      }
    }
    while (length--) *dst++ = *from++;
    return;
  }
  while (length--) {
    *dst++ = dict[src];
    if (++src == capacity) src = 0;
  }
}

LzmaCore::Stop LzmaCore::Decode(const uint8_t*& in_ref, const uint8_t* in_limit, size_t out_limit) {
  assert(pos_ <= out_limit && out_limit <= capacity_);
  size_t pos = pos_;
  if (pending_len_ != 0) {
    const size_t count = std::min<size_t>(pending_len_, out_limit - pos);
    CopyMatch(window_.get(), capacity_, full_, pos, size_t{reps_[0]} + 1, count);
    pending_len_ -= static_cast<uint32_t>(count);
  }

  uint16_t* const probs = probs_.data();
  uint8_t* const dict = window_.get();
  const size_t capacity = capacity_;
  const bool full = full_;
  const uint32_t pos_base = pos_base_;
  // The literal context: the low lp bits of the position above the high lc
  // bits of the previous byte.
  const uint32_t literal_mask = (0x100u << lp_) - 1;
  const unsigned literal_shift = 8 - lc_;
  const uint32_t pb_mask = (1u << pb_) - 1;
  uint32_t range = range_, code = code_, bound;
  uint32_t state = state_;
  uint32_t rep0 = reps_[0], rep1 = reps_[1], rep2 = reps_[2], rep3 = reps_[3];
  const uint8_t* in = in_ref;
  Stop stop = Stop::kLimit;

  while (pos < out_limit && in < in_limit) {
    const uint32_t processed = pos_base + static_cast<uint32_t>(pos);
    const uint32_t pos_state = processed & pb_mask;
    uint16_t* prob = probs + kIsMatch + (state << 4) + pos_state;
    RC_BOUND(prob);
    if (LZMA_LIKELY(code < bound)) {
      RC_UPDATE_0(prob);
      const uint32_t prev = dict[(pos != 0 ? pos : capacity) - 1];
      uint16_t* const lit =
          probs + kLiteral + 0x300 * ((((processed << 8) | prev) & literal_mask) >> literal_shift);
      uint32_t sym = 1;
      if (state >= kLiteralStates) {
        // State >= 7 follows a match whose distance was checked, and a
        // dictionary reset clears the state, so rep0 lies inside the window.
        const size_t distance = size_t{rep0} + 1;
        uint32_t match_byte = dict[pos >= distance ? pos - distance : pos + capacity - distance];
        // offset is 0x100 while the decoded bits equal the match byte's, 0
        // after the first difference; the one branch per bit is the decoded
        // bit itself, and the probabilities used fall back to the plain tree.
        uint32_t offset = 0x100;
        do {
          match_byte <<= 1;
          const uint32_t matching = offset;
          offset &= match_byte;
          uint16_t* p = lit + offset + matching + sym;
          RC_BOUND(p);
          if (code < bound) {
            RC_UPDATE_0(p);
            sym += sym;
            offset ^= matching;
          } else {
            RC_UPDATE_1(p);
            sym += sym + 1;
          }
        } while (sym < 0x100);
      }
      while (sym < 0x100) RC_TREE_STEP_SELECT(lit, sym);
      dict[pos++] = static_cast<uint8_t>(sym);
      state = kStateAfterLiteral[state];
      continue;
    }
    RC_UPDATE_1(prob);

    const size_t history = full ? capacity : pos;
    uint32_t len;
    prob = probs + kIsRep + state;
    RC_BOUND(prob);
    if (code < bound) {
      RC_UPDATE_0(prob);
      DECODE_LENGTH(probs + kLenCoder, len);
      uint16_t* const slot_probs = probs + kPosSlot + ((len < 3 ? len : 3) << 6);
      uint32_t slot = 1;
      RC_TREE_STEP(slot_probs, slot);
      RC_TREE_STEP(slot_probs, slot);
      RC_TREE_STEP(slot_probs, slot);
      RC_TREE_STEP(slot_probs, slot);
      RC_TREE_STEP(slot_probs, slot);
      RC_TREE_STEP(slot_probs, slot);
      slot -= 64;
      uint32_t distance = slot;
      if (slot >= 4) {
        const unsigned direct = (slot >> 1) - 1;
        distance = (2 | (slot & 1)) << direct;
        uint32_t m = 1;
        if (slot < 14) {
          uint16_t* const spec = probs + kSpecPos + distance - slot;
          for (unsigned i = 0; i < direct; ++i) RC_REVERSE_STEP(spec, m, distance, 1u << i);
        } else {
          uint32_t extra = 0;
          for (unsigned i = direct - 4; i != 0; --i) {
            range >>= 1;
            const uint32_t bit = code >= range;
            code -= range & (0u - bit);
            extra = (extra << 1) | bit;
            RC_NORMALIZE();
          }
          distance += extra << 4;
          uint16_t* const align = probs + kAlign;
          RC_REVERSE_STEP(align, m, distance, 1u);
          RC_REVERSE_STEP(align, m, distance, 2u);
          RC_REVERSE_STEP(align, m, distance, 4u);
          RC_REVERSE_STEP(align, m, distance, 8u);
          if (distance == UINT32_MAX) {
            stop = Stop::kEndMarker;
            break;
          }
        }
      }
      if (LZMA_UNLIKELY(distance >= history)) throw DataError("LZMA distance out of range");
      rep3 = rep2;
      rep2 = rep1;
      rep1 = rep0;
      rep0 = distance;
      state = state < kLiteralStates ? 7 : 10;
    } else {
      RC_UPDATE_1(prob);
      if (LZMA_UNLIKELY(history == 0)) throw DataError("LZMA repeat before any data");
      prob = probs + kIsRepG0 + state;
      RC_BOUND(prob);
      if (code < bound) {
        RC_UPDATE_0(prob);
        prob = probs + kIsRep0Long + (state << 4) + pos_state;
        RC_BOUND(prob);
        if (code < bound) {
          RC_UPDATE_0(prob);
          if (LZMA_UNLIKELY(rep0 >= history)) throw DataError("LZMA distance out of range");
          const size_t distance = size_t{rep0} + 1;
          dict[pos] = dict[pos >= distance ? pos - distance : pos + capacity - distance];
          ++pos;
          state = state < kLiteralStates ? 9 : 11;
          continue;
        }
        RC_UPDATE_1(prob);
      } else {
        RC_UPDATE_1(prob);
        uint32_t distance;
        prob = probs + kIsRepG1 + state;
        RC_BOUND(prob);
        if (code < bound) {
          RC_UPDATE_0(prob);
          distance = rep1;
        } else {
          RC_UPDATE_1(prob);
          prob = probs + kIsRepG2 + state;
          RC_BOUND(prob);
          if (code < bound) {
            RC_UPDATE_0(prob);
            distance = rep2;
          } else {
            RC_UPDATE_1(prob);
            distance = rep3;
            rep3 = rep2;
          }
          rep2 = rep1;
        }
        rep1 = rep0;
        rep0 = distance;
      }
      if (LZMA_UNLIKELY(rep0 >= history)) throw DataError("LZMA distance out of range");
      DECODE_LENGTH(probs + kRepLenCoder, len);
      state = state < kLiteralStates ? 8 : 11;
    }

    const size_t length = len + 2;
    const size_t count = std::min(length, out_limit - pos);
    CopyMatch(dict, capacity, full, pos, size_t{rep0} + 1, count);
    pending_len_ = static_cast<uint32_t>(length - count);
  }

  pos_ = pos;
  range_ = range;
  code_ = code;
  state_ = state;
  reps_[0] = rep0;
  reps_[1] = rep1;
  reps_[2] = rep2;
  reps_[3] = rep3;
  in_ref = in;
  return stop;
}

LzmaDecoder::LzmaDecoder(InStream& source, std::span<const uint8_t> properties,
                         std::optional<uint64_t> unpack_size)
    : source_(source), remaining_(unpack_size) {
  if (properties.size() < 5) throw Unsupported("bad LZMA properties");
  unsigned d = properties[0];
  if (d >= 9 * 5 * 5) throw Unsupported("bad LZMA properties");
  const unsigned lc = d % 9;
  d /= 9;
  const unsigned lp = d % 5;
  const unsigned pb = d / 5;
  uint64_t dictionary = uint32_t{properties[1]} | uint32_t{properties[2]} << 8 |
                        uint32_t{properties[3]} << 16 | uint32_t{properties[4]} << 24;
  dictionary = std::max<uint64_t>(dictionary, 4096);
  if (unpack_size) dictionary = std::min(dictionary, std::max<uint64_t>(*unpack_size, 1));
  core_ = std::make_unique<LzmaCore>(dictionary);
  core_->SetProperties(lc, lp, pb);
  input_.resize(kInputBuffer + LzmaCore::kInputSlack);
}

void LzmaDecoder::Refill() {
  if (source_done_) return;
  std::memmove(input_.data(), input_.data() + in_pos_, in_end_ - in_pos_);
  in_end_ -= in_pos_;
  in_pos_ = 0;
  const size_t want = kInputBuffer - in_end_;
  const size_t got = source_.Read(input_.data() + in_end_, want);
  in_end_ += got;
  if (got < want) {
    source_done_ = true;
    std::memset(input_.data() + in_end_, 0, LzmaCore::kInputSlack);
  }
}

void LzmaDecoder::DecodeMore() {
  if (!started_) {
    Refill();
    if (in_end_ < 5) throw UnexpectedEnd("unexpected end of LZMA data");
    const uint8_t* in = input_.data();
    core_->StartRange(in);
    in_pos_ = 5;
    started_ = true;
  }
  if (remaining_ == 0) {
    if (core_->pending_match() != 0) throw DataError("LZMA match past end of data");
    ProbeEndMarker();
    finished_ = true;
    return;
  }
  const size_t room = core_->Room();
  read_pos_ = core_->position();
  size_t step = std::min(room, kOutputStep);
  if (remaining_) step = static_cast<size_t>(std::min<uint64_t>(step, *remaining_));
  const size_t out_limit = read_pos_ + step;

  while (core_->position() < out_limit) {
    if (in_end_ - in_pos_ <= LzmaCore::kInputSlack) Refill();
    const uint8_t* const base = input_.data();
    const uint8_t* in = base + in_pos_;
    const uint8_t* const in_limit =
        source_done_ ? base + in_end_ + 1 : base + in_end_ - LzmaCore::kInputSlack;
    const LzmaCore::Stop stop = core_->Decode(in, in_limit, out_limit);
    in_pos_ = static_cast<size_t>(in - base);
    if (in_pos_ > in_end_) throw UnexpectedEnd("unexpected end of LZMA data");
    if (stop == LzmaCore::Stop::kEndMarker) {
      if (remaining_ && *remaining_ != core_->position() - read_pos_)
        throw DataError("LZMA end marker before end of data");
      finished_ = true;
      break;
    }
  }
  if (remaining_) *remaining_ -= core_->position() - read_pos_;
}

// A stream of known size may still carry an end marker; anything else after
// the last byte is damage.
void LzmaDecoder::ProbeEndMarker() {
  if (in_pos_ == in_end_) Refill();
  if (in_pos_ == in_end_) return;
  core_->Room();
  const size_t pos = core_->position();
  if (in_end_ - in_pos_ < LzmaCore::kInputSlack) Refill();
  const uint8_t* const base = input_.data();
  const uint8_t* in = base + in_pos_;
  const LzmaCore::Stop stop = core_->Decode(in, base + in_end_ + 1, pos + 1);
  if (static_cast<size_t>(in - base) > in_end_) throw UnexpectedEnd("unexpected end of LZMA data");
  if (stop != LzmaCore::Stop::kEndMarker) throw DataError("data after end of LZMA stream");
  read_pos_ = pos;
}

size_t LzmaCore::CopyDecoded(size_t& read_pos, uint8_t* data, size_t size) const {
  const size_t count = std::min(pos_ - read_pos, size);
  if (count == 0) return 0;  // the window may not exist yet
  std::memcpy(data, window_.get() + read_pos, count);
  read_pos += count;
  return count;
}

size_t LzmaDecoder::Read(uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t count = core_->CopyDecoded(read_pos_, data + done, size - done);
    done += count;
    if (count != 0) continue;
    if (finished_) break;
    DecodeMore();
  }
  return done;
}

}  // namespace cindral::codec
