// What PPMd variants H (7z) and I (ZIP) share: the 12-byte unit arena's
// records and size classes, the symbol state, the secondary escape estimate,
// the symbol loops and the buffered byte source of their range decoders. Internal to the two
// decoders.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/codec/stream.h"

namespace cindral::codec::ppmd {

constexpr unsigned kUnitSize = 12;
constexpr unsigned kNumIndexes = 38;
constexpr unsigned kMaxFreq = 124;
constexpr unsigned kPeriodBits = 7;
constexpr unsigned kBinScale = 1u << 14;

constexpr uint16_t kInitBinEsc[8] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3,
                                     0x64A1, 0x5ABC, 0x6632, 0x6051};
constexpr uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

// The successor is split in two halves so that a state is 6 bytes and two
// fit one unit.
struct State {
  uint8_t symbol;
  uint8_t freq;
  uint16_t successor_low;
  uint16_t successor_high;
};
static_assert(sizeof(State) == 6);

inline uint32_t Successor(const State* s) {
  return s->successor_low | uint32_t{s->successor_high} << 16;
}
inline void SetSuccessor(State* s, uint32_t v) {
  s->successor_low = uint16_t(v);
  s->successor_high = uint16_t(v >> 16);
}

// Secondary escape estimation: an adaptive mean of escape frequencies.
struct See {
  uint16_t summ;
  uint8_t shift;
  uint8_t count;
  void Update() {
    if (shift < kPeriodBits && --count == 0) {
      summ = uint16_t(summ << 1);
      count = uint8_t(3 << shift++);
    }
  }
};

// The binary-context probability after a hit or a miss.
inline uint16_t ProbAfterHit(uint16_t prob) {
  return uint16_t(prob + (1 << 7) - ((prob + 32) >> 7));
}
inline uint16_t ProbAfterMiss(uint16_t prob) { return uint16_t(prob - ((prob + 32) >> 7)); }

// The block sizes of the arena in units (1-4, then steps of 2, 3 and 4 up to
// 128), and the binary-context column for the size of the suffix context.
struct SharedTables {
  uint8_t indx2units[kNumIndexes];
  uint8_t units2indx[128];
  uint8_t ns2bsindx[256];
  SharedTables() {
    for (unsigned i = 0, k = 0; i < kNumIndexes; ++i) {
      unsigned step = i >= 12 ? 4 : (i >> 2) + 1;
      do units2indx[k++] = uint8_t(i);
      while (--step);
      indx2units[i] = uint8_t(k);
    }
    ns2bsindx[0] = 0 << 1;
    ns2bsindx[1] = 1 << 1;
    std::memset(ns2bsindx + 2, 2 << 1, 9);
    std::memset(ns2bsindx + 11, 3 << 1, 256 - 11);
  }
};

// The arena of 12-byte units both variants allocate from: text grows up from
// the bottom, contexts come down from the top, and freed blocks wait on one
// list per size class. Derived supplies InsertNode, RemoveNode and
// GlueFreeBlocks, whose bookkeeping differs between the variants; every step
// here must match the encoder's, because where blocks land decides when the
// arena runs out.
template <typename Derived>
class Arena {
 protected:
  Arena(const SharedTables& tables, uint32_t size, uint32_t slack)
      : sizes_(tables),
        size_(size),
        align_(4 - (size & 3)),
        memory_(new uint8_t[align_ + size + slack]),
        base_(memory_.get()) {}

  uint32_t Ref(const void* p) const { return uint32_t(static_cast<const uint8_t*>(p) - base_); }
  uint8_t* Ptr(uint32_t ref) const { return base_ + ref; }
  unsigned I2U(unsigned index) const { return sizes_.indx2units[index]; }
  unsigned U2I(unsigned units) const { return sizes_.units2indx[units - 1]; }
  static uint32_t U2B(unsigned units) { return units * kUnitSize; }

  void SplitBlock(void* ptr, unsigned old_index, unsigned new_index) {
    const unsigned nu = I2U(old_index) - I2U(new_index);
    uint8_t* rest = static_cast<uint8_t*>(ptr) + U2B(I2U(new_index));
    unsigned i = U2I(nu);
    if (I2U(i) != nu) {
      const unsigned k = I2U(--i);
      self().InsertNode(rest + U2B(k), nu - k - 1);
    }
    self().InsertNode(rest, i);
  }

  void* AllocUnitsRare(unsigned index) {
    if (glue_count_ == 0) {
      self().GlueFreeBlocks();
      if (free_list_[index] != 0) return self().RemoveNode(index);
    }
    unsigned i = index;
    do {
      if (++i == kNumIndexes) {
        const uint32_t bytes = U2B(I2U(index));
        --glue_count_;
        if (uint32_t(units_start_ - text_) > bytes) return units_start_ -= bytes;
        return nullptr;
      }
    } while (free_list_[i] == 0);
    void* block = self().RemoveNode(i);
    SplitBlock(block, i, index);
    return block;
  }

  void* AllocUnits(unsigned index) {
    if (free_list_[index] != 0) return self().RemoveNode(index);
    const uint32_t bytes = U2B(I2U(index));
    if (bytes <= uint32_t(hi_unit_ - lo_unit_)) {
      void* block = lo_unit_;
      lo_unit_ += bytes;
      return block;
    }
    return AllocUnitsRare(index);
  }

  void* ShrinkUnits(void* old_ptr, unsigned old_nu, unsigned new_nu) {
    const unsigned i0 = U2I(old_nu);
    const unsigned i1 = U2I(new_nu);
    if (i0 == i1) return old_ptr;
    if (free_list_[i1] != 0) {
      void* ptr = self().RemoveNode(i1);
      std::memcpy(ptr, old_ptr, U2B(new_nu));
      self().InsertNode(old_ptr, i0);
      return ptr;
    }
    SplitBlock(old_ptr, i0, i1);
    return old_ptr;
  }

  const SharedTables& sizes_;
  uint32_t size_;
  uint32_t align_;
  std::unique_ptr<uint8_t[]> memory_;
  uint8_t* base_;
  uint8_t* text_ = nullptr;
  uint8_t* units_start_ = nullptr;
  uint8_t* lo_unit_ = nullptr;
  uint8_t* hi_unit_ = nullptr;
  uint32_t glue_count_ = 0;
  uint32_t free_list_[kNumIndexes] = {};

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

// The symbol loops both decoders run: the first context, where nothing is
// masked yet, the binary context, and the escapes to ever shorter suffixes
// with the symbols already ruled out masked. The variants differ only in what
// Model supplies: NumStates (variant I stores one less), BinaryProbability
// (each picks its cell its own way) and NoteHighBits (variant H's flag for
// the escape estimate; a no-op in variant I), besides the updates themselves.
// Returns the byte, -1 at the end marker, -2 on malformed data.
template <typename Model>
int DecodeSymbol(Model& m) {
  auto& rc = m.rc_;
  uint8_t masked[256];
  if (m.NumStates(m.min_context_) != 1) {
    State* s = m.Stats(m.min_context_);
    const uint32_t count = rc.Threshold(m.min_context_->summ_freq);
    uint32_t hi_cnt = s->freq;
    if (count < hi_cnt) {
      rc.Decode(0, s->freq);
      m.found_state_ = s;
      const uint8_t symbol = s->symbol;
      m.Update1_0();
      return symbol;
    }
    m.prev_success_ = 0;
    unsigned i = m.NumStates(m.min_context_) - 1;
    do {
      if ((hi_cnt += (++s)->freq) > count) {
        rc.Decode(hi_cnt - s->freq, s->freq);
        m.found_state_ = s;
        const uint8_t symbol = s->symbol;
        m.Update1();
        return symbol;
      }
    } while (--i);
    if (count >= m.min_context_->summ_freq) return -2;
    m.NoteHighBits();
    rc.Decode(hi_cnt, m.min_context_->summ_freq - hi_cnt);
    std::memset(masked, 0xFF, sizeof masked);
    masked[s->symbol] = 0;
    i = m.NumStates(m.min_context_) - 1;
    do masked[(--s)->symbol] = 0;
    while (--i);
  } else {
    State* one = Model::OneState(m.min_context_);
    m.NoteHighBits();
    uint16_t& prob = m.BinaryProbability(one);
    if (rc.DecodeBit(prob, kBinScale) == 0) {
      prob = ProbAfterHit(prob);
      m.found_state_ = one;
      const uint8_t symbol = one->symbol;
      m.UpdateBin();
      return symbol;
    }
    prob = ProbAfterMiss(prob);
    m.init_esc_ = kExpEscape[prob >> 10];
    std::memset(masked, 0xFF, sizeof masked);
    masked[one->symbol] = 0;
    m.prev_success_ = 0;
  }

  for (;;) {
    const unsigned num_masked = m.min_context_->num_stats;
    do {
      ++m.order_fall_;
      if (m.min_context_->suffix == 0) return -1;
      m.min_context_ = m.Suffix(m.min_context_);
    } while (m.min_context_->num_stats == num_masked);

    // The mask byte is 0xFF for a symbol still in play and 0 for one already
    // excluded, so sums over the context need no branches.
    State* const stats = m.Stats(m.min_context_);
    State* const stats_end = stats + m.NumStates(m.min_context_);
    auto keep = [&masked](const State* s) { return uint32_t(int32_t(int8_t(masked[s->symbol]))); };
    uint32_t hi_cnt = 0;
    for (const State* s = stats; s != stats_end; ++s) hi_cnt += s->freq & keep(s);

    uint32_t freq_sum;
    See* see = m.MakeEscFreq(num_masked, &freq_sum);
    freq_sum += hi_cnt;
    const uint32_t count = rc.Threshold(freq_sum);
    if (count < hi_cnt) {
      State* s = stats;
      for (hi_cnt = 0; (hi_cnt += s->freq & keep(s)) <= count; ++s) {
      }
      rc.Decode(hi_cnt - s->freq, s->freq);
      see->Update();
      m.found_state_ = s;
      const uint8_t symbol = s->symbol;
      m.Update2();
      return symbol;
    }
    if (count >= freq_sum) return -2;
    rc.Decode(hi_cnt, freq_sum - hi_cnt);
    see->summ = uint16_t(see->summ + freq_sum);
    for (const State* s = stats; s != stats_end; ++s) masked[s->symbol] = 0;
  }
}

// Bytes for a range decoder. Past the end it yields zeros and counts them, so
// that the decoder can tell a truncated stream from a malformed one.
class ByteSource {
 public:
  explicit ByteSource(InStream& source) : source_(source), buffer_(1 << 16) {}

  uint8_t Next() {
    if (next_ == end_) return Refill();
    return *next_++;
  }
  uint64_t overrun() const { return overrun_; }

 private:
  // Out of line, so that Next stays small enough to inline into the range
  // decoders' normalisation.
  [[gnu::noinline]] uint8_t Refill() {
    const size_t got = source_.Read(buffer_.data(), buffer_.size());
    next_ = buffer_.data();
    end_ = next_ + got;
    if (got == 0) {
      ++overrun_;
      return 0;
    }
    return *next_++;
  }

  InStream& source_;
  std::vector<uint8_t> buffer_;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint64_t overrun_ = 0;
};

}  // namespace cindral::codec::ppmd
