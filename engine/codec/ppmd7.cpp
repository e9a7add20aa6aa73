#include "engine/codec/ppmd7.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/codec/ppmd_model.h"

// The model lives in one arena addressed by 32-bit offsets; contexts, state
// arrays and free-list nodes overlay each other there, so this file is built
// without strict aliasing.

namespace cindral::codec {
namespace {

using ppmd::kBinScale;
using ppmd::kMaxFreq;
using ppmd::kNumIndexes;
using ppmd::kPeriodBits;
using ppmd::kUnitSize;
using ppmd::See;
using ppmd::SetSuccessor;
using ppmd::State;
using ppmd::Successor;

constexpr unsigned kMinOrder = 2;
constexpr unsigned kMaxOrder = 64;
constexpr uint32_t kMinMemory = 1u << 11;
constexpr uint32_t kMaxMemory = 0x7FFFFFFFu - 36;
constexpr uint32_t kTop = 1u << 24;

struct Context {
  uint16_t num_stats;
  uint16_t summ_freq;
  uint32_t stats;
  uint32_t suffix;
};

struct Node {
  uint16_t stamp;
  uint16_t nu;
  uint32_t next;
  uint32_t prev;
};

static_assert(sizeof(Context) == kUnitSize && sizeof(Node) == kUnitSize);

struct Tables : ppmd::SharedTables {
  uint8_t ns2indx[256];
  uint8_t hb2flag[256];
  Tables() {
    unsigned i = 0;
    for (; i < 3; ++i) ns2indx[i] = uint8_t(i);
    for (unsigned m = i, k = 1; i < 256; ++i) {
      ns2indx[i] = uint8_t(m);
      if (--k == 0) k = ++m - 2;
    }
    std::memset(hb2flag, 0, 0x40);
    std::memset(hb2flag + 0x40, 8, 0x100 - 0x40);
  }
};

const Tables& Shared() {
  static const Tables tables;
  return tables;
}

// The 7z flavour of the range coder: a leading zero byte, 32-bit code, and
// normalisation by whole bytes below 2^24.
class RangeDecoder {
 public:
  explicit RangeDecoder(InStream& source) : bytes_(source) {}

  void Init() {
    if (NextByte() != 0) throw DataError("invalid PPMd stream");
    for (int i = 0; i < 4; ++i) code_ = code_ << 8 | NextByte();
    if (code_ == 0xFFFFFFFFu) throw DataError("invalid PPMd stream");
  }
  uint32_t Threshold(uint32_t total) {
    range_ /= total;
    if (range_ == 0) throw DataError("invalid PPMd stream");
    return code_ / range_;
  }
  void Decode(uint32_t start, uint32_t size) {
    code_ -= start * range_;
    range_ *= size;
    Normalize();
  }
  unsigned DecodeBit(uint32_t size0, uint32_t total) {
    const uint32_t bound = (range_ / total) * size0;
    unsigned bit;
    if (code_ < bound) {
      bit = 0;
      range_ = bound;
    } else {
      bit = 1;
      code_ -= bound;
      range_ -= bound;
    }
    Normalize();
    return bit;
  }
  // Bytes the coder wanted after the source had ended.
  uint64_t overrun() const { return bytes_.overrun(); }

 private:
  void Normalize() {
    if (range_ >= kTop) return;
    code_ = code_ << 8 | NextByte();
    range_ <<= 8;
    if (range_ >= kTop) return;
    code_ = code_ << 8 | NextByte();
    range_ <<= 8;
  }
  uint8_t NextByte() { return bytes_.Next(); }

  ppmd::ByteSource bytes_;
  uint32_t range_ = 0xFFFFFFFFu;
  uint32_t code_ = 0;
};

}  // namespace

class Ppmd7Decoder::Model : ppmd::Arena<Ppmd7Decoder::Model> {
 public:
  Model(InStream& source, unsigned order, uint32_t size)
      : Arena(Shared(), size, kUnitSize), rc_(source), t_(Shared()), max_order_(order) {
    RestartModel();
    dummy_see_.shift = kPeriodBits;
    dummy_see_.summ = 0;
    dummy_see_.count = 64;
    rc_.Init();
  }

  // Returns the byte, -1 at the end marker, -2 on malformed data.
  int DecodeSymbol() { return ppmd::DecodeSymbol(*this); }
  uint64_t overrun() const { return rc_.overrun(); }

 private:
  friend Arena;
  template <typename Model>
  friend int ppmd::DecodeSymbol(Model& m);

  Context* Ctx(uint32_t ref) const { return reinterpret_cast<Context*>(base_ + ref); }
  Context* Suffix(const Context* c) const { return Ctx(c->suffix); }
  static unsigned NumStates(const Context* c) { return c->num_stats; }
  State* Stats(const Context* c) const { return reinterpret_cast<State*>(base_ + c->stats); }
  Node* NodeAt(uint32_t ref) const { return reinterpret_cast<Node*>(base_ + ref); }
  static State* OneState(Context* c) { return reinterpret_cast<State*>(&c->summ_freq); }

  void InsertNode(void* node, unsigned index) {
    *static_cast<uint32_t*>(node) = free_list_[index];
    free_list_[index] = Ref(node);
  }
  void* RemoveNode(unsigned index) {
    uint32_t* node = reinterpret_cast<uint32_t*>(base_ + free_list_[index]);
    free_list_[index] = *node;
    return node;
  }
  void GlueFreeBlocks();

  void RestartModel();
  Context* CreateSuccessors(bool skip);
  void UpdateModel();
  void Rescale();
  void NextContext();
  void Update1();
  void Update1_0();
  void Update2();
  void UpdateBin();
  See* MakeEscFreq(unsigned num_masked, uint32_t* esc_freq);
  // The flag comes from the symbol decoded last, before this one moves it.
  void NoteHighBits() { hi_bits_flag_ = t_.hb2flag[found_state_->symbol]; }
  uint16_t& BinaryProbability(const State* one) {
    return bin_summ_[one->freq - 1u]
                    [prev_success_ + t_.ns2bsindx[Suffix(min_context_)->num_stats - 1u] +
                     hi_bits_flag_ + 2 * t_.hb2flag[one->symbol] + ((run_length_ >> 26) & 0x20)];
  }

  RangeDecoder rc_;
  const Tables& t_;
  unsigned max_order_;

  Context* min_context_ = nullptr;
  Context* max_context_ = nullptr;
  State* found_state_ = nullptr;
  unsigned order_fall_ = 0;
  unsigned init_esc_ = 0;
  unsigned prev_success_ = 0;
  unsigned hi_bits_flag_ = 0;
  int32_t run_length_ = 0;
  int32_t init_rl_ = 0;
  See dummy_see_{};
  See see_[25][16];
  uint16_t bin_summ_[128][64];
};

// Merges adjacent free blocks. Which blocks end up where decides when the
// arena runs out and the model restarts, so this must follow the encoder
// step by step.
void Ppmd7Decoder::Model::GlueFreeBlocks() {
  const uint32_t head = align_ + size_;
  uint32_t n = head;
  glue_count_ = 255;

  for (unsigned i = 0; i < kNumIndexes; ++i) {
    const uint16_t nu = uint16_t(I2U(i));
    uint32_t next = free_list_[i];
    free_list_[i] = 0;
    while (next != 0) {
      Node* node = NodeAt(next);
      node->next = n;
      NodeAt(n)->prev = next;
      n = next;
      next = *reinterpret_cast<const uint32_t*>(node);
      node->stamp = 0;
      node->nu = nu;
    }
  }
  NodeAt(head)->stamp = 1;
  NodeAt(head)->next = n;
  NodeAt(n)->prev = head;
  if (lo_unit_ != hi_unit_) reinterpret_cast<Node*>(lo_unit_)->stamp = 1;

  while (n != head) {
    Node* node = NodeAt(n);
    uint32_t nu = node->nu;
    for (;;) {
      Node* node2 = node + nu;
      nu += node2->nu;
      if (node2->stamp != 0 || nu >= 0x10000) break;
      NodeAt(node2->prev)->next = node2->next;
      NodeAt(node2->next)->prev = node2->prev;
      node->nu = uint16_t(nu);
    }
    n = node->next;
  }

  for (n = NodeAt(head)->next; n != head;) {
    Node* node = NodeAt(n);
    const uint32_t next = node->next;
    unsigned nu = node->nu;
    for (; nu > 128; nu -= 128, node += 128) InsertNode(node, kNumIndexes - 1);
    unsigned i = U2I(nu);
    if (I2U(i) != nu) {
      const unsigned k = I2U(--i);
      InsertNode(node + k, nu - k - 1);
    }
    InsertNode(node, i);
    n = next;
  }
}

void Ppmd7Decoder::Model::RestartModel() {
  std::memset(free_list_, 0, sizeof free_list_);
  text_ = base_ + align_;
  hi_unit_ = text_ + size_;
  lo_unit_ = units_start_ = hi_unit_ - size_ / 8 / kUnitSize * 7 * kUnitSize;
  glue_count_ = 0;

  order_fall_ = max_order_;
  run_length_ = init_rl_ = -int32_t(std::min(max_order_, 12u)) - 1;
  prev_success_ = 0;

  hi_unit_ -= kUnitSize;
  min_context_ = max_context_ = reinterpret_cast<Context*>(hi_unit_);
  min_context_->suffix = 0;
  min_context_->num_stats = 256;
  min_context_->summ_freq = 256 + 1;
  found_state_ = reinterpret_cast<State*>(lo_unit_);
  lo_unit_ += U2B(256 / 2);
  min_context_->stats = Ref(found_state_);
  for (unsigned i = 0; i < 256; ++i) {
    State* s = &found_state_[i];
    s->symbol = uint8_t(i);
    s->freq = 1;
    SetSuccessor(s, 0);
  }

  for (unsigned i = 0; i < 128; ++i) {
    for (unsigned k = 0; k < 8; ++k) {
      const uint16_t value = uint16_t(kBinScale - ppmd::kInitBinEsc[k] / (i + 2));
      for (unsigned m = 0; m < 64; m += 8) bin_summ_[i][k + m] = value;
    }
  }
  for (unsigned i = 0; i < 25; ++i) {
    for (unsigned k = 0; k < 16; ++k) {
      See& s = see_[i][k];
      s.shift = kPeriodBits - 4;
      s.summ = uint16_t((5 * i + 10) << s.shift);
      s.count = 4;
    }
  }
}

Context* Ppmd7Decoder::Model::CreateSuccessors(bool skip) {
  Context* c = min_context_;
  const uint32_t up_branch = Successor(found_state_);
  const uint8_t symbol = found_state_->symbol;
  State* ps[kMaxOrder];
  unsigned num_ps = 0;
  if (!skip) ps[num_ps++] = found_state_;

  while (c->suffix != 0) {
    c = Ctx(c->suffix);
    State* s;
    if (c->num_stats != 1) {
      for (s = Stats(c); s->symbol != symbol; ++s) {
      }
    } else {
      s = OneState(c);
    }
    const uint32_t successor = Successor(s);
    if (successor != up_branch) {
      c = Ctx(successor);
      if (num_ps == 0) return c;
      break;
    }
    ps[num_ps++] = s;
  }

  State up_state;
  up_state.symbol = base_[up_branch];
  SetSuccessor(&up_state, up_branch + 1);
  if (c->num_stats == 1) {
    up_state.freq = OneState(c)->freq;
  } else {
    State* s;
    for (s = Stats(c); s->symbol != up_state.symbol; ++s) {
    }
    const uint32_t cf = s->freq - 1u;
    const uint32_t s0 = c->summ_freq - c->num_stats - cf;
    up_state.freq =
        uint8_t(1 + ((2 * cf <= s0) ? (5 * cf > s0) : ((2 * cf + 3 * s0 - 1) / (2 * s0))));
  }

  do {
    Context* c1;
    if (hi_unit_ != lo_unit_) {
      hi_unit_ -= kUnitSize;
      c1 = reinterpret_cast<Context*>(hi_unit_);
    } else if (free_list_[0] != 0) {
      c1 = static_cast<Context*>(RemoveNode(0));
    } else {
      c1 = static_cast<Context*>(AllocUnitsRare(0));
      if (c1 == nullptr) return nullptr;
    }
    c1->num_stats = 1;
    *OneState(c1) = up_state;
    c1->suffix = Ref(c);
    SetSuccessor(ps[--num_ps], Ref(c1));
    c = c1;
  } while (num_ps != 0);
  return c;
}

void Ppmd7Decoder::Model::UpdateModel() {
  uint32_t f_successor = Successor(found_state_);
  const uint8_t symbol = found_state_->symbol;

  if (found_state_->freq < kMaxFreq / 4 && min_context_->suffix != 0) {
    Context* c = Ctx(min_context_->suffix);
    if (c->num_stats == 1) {
      State* s = OneState(c);
      if (s->freq < 32) ++s->freq;
    } else {
      State* s = Stats(c);
      if (s->symbol != symbol) {
        do ++s;
        while (s->symbol != symbol);
        if (s[0].freq >= s[-1].freq) {
          std::swap(s[0], s[-1]);
          --s;
        }
      }
      if (s->freq < kMaxFreq - 9) {
        s->freq += 2;
        c->summ_freq += 2;
      }
    }
  }

  if (order_fall_ == 0) {
    min_context_ = max_context_ = CreateSuccessors(true);
    if (min_context_ == nullptr) return RestartModel();
    SetSuccessor(found_state_, Ref(min_context_));
    return;
  }

  *text_++ = symbol;
  uint32_t successor = Ref(text_);
  if (text_ >= units_start_) return RestartModel();

  if (f_successor != 0) {
    if (f_successor <= successor) {
      Context* cs = CreateSuccessors(false);
      if (cs == nullptr) return RestartModel();
      f_successor = Ref(cs);
    }
    if (--order_fall_ == 0) {
      successor = f_successor;
      text_ -= (max_context_ != min_context_);
    }
  } else {
    SetSuccessor(found_state_, successor);
    f_successor = Ref(min_context_);
  }

  const unsigned ns = min_context_->num_stats;
  const uint32_t s0 = min_context_->summ_freq - ns - (found_state_->freq - 1u);
  const unsigned found_freq = found_state_->freq;

  for (Context* c = max_context_; c != min_context_; c = Ctx(c->suffix)) {
    const unsigned ns1 = c->num_stats;
    if (ns1 != 1) {
      if ((ns1 & 1) == 0) {
        const unsigned old_nu = ns1 >> 1;
        const unsigned i = U2I(old_nu);
        if (i != U2I(old_nu + 1)) {
          void* ptr = AllocUnits(i + 1);
          if (ptr == nullptr) return RestartModel();
          void* old_ptr = Stats(c);
          std::memcpy(ptr, old_ptr, U2B(old_nu));
          InsertNode(old_ptr, i);
          c->stats = Ref(ptr);
        }
      }
      c->summ_freq = uint16_t(c->summ_freq + (2 * ns1 < ns) +
                              2 * ((4 * ns1 <= ns) & (c->summ_freq <= 8 * ns1)));
    } else {
      State* s = static_cast<State*>(AllocUnits(0));
      if (s == nullptr) return RestartModel();
      *s = *OneState(c);
      c->stats = Ref(s);
      if (s->freq < kMaxFreq / 4 - 1) {
        s->freq = uint8_t(s->freq << 1);
      } else {
        s->freq = kMaxFreq - 4;
      }
      c->summ_freq = uint16_t(s->freq + init_esc_ + (ns > 3));
    }
    uint32_t cf = 2 * found_freq * (c->summ_freq + 6u);
    const uint32_t sf = s0 + c->summ_freq;
    if (cf < 6 * sf) {
      cf = 1 + (cf > sf) + (cf >= 4 * sf);
      c->summ_freq += 3;
    } else {
      cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
      c->summ_freq = uint16_t(c->summ_freq + cf);
    }
    State* s = Stats(c) + ns1;
    SetSuccessor(s, successor);
    s->symbol = symbol;
    s->freq = uint8_t(cf);
    c->num_stats = uint16_t(ns1 + 1);
  }
  max_context_ = min_context_ = Ctx(f_successor);
}

void Ppmd7Decoder::Model::Rescale() {
  State* stats = Stats(min_context_);
  State* s = found_state_;
  if (s != stats) {
    const State moved = *s;
    for (; s != stats; --s) s[0] = s[-1];
    *s = moved;
  }
  unsigned esc_freq = min_context_->summ_freq - s->freq;
  s->freq += 4;
  const unsigned adder = order_fall_ != 0;
  s->freq = uint8_t((s->freq + adder) >> 1);
  unsigned sum_freq = s->freq;

  unsigned i = min_context_->num_stats - 1u;
  do {
    esc_freq -= (++s)->freq;
    s->freq = uint8_t((s->freq + adder) >> 1);
    sum_freq += s->freq;
    if (s[0].freq > s[-1].freq) {
      State* s1 = s;
      const State moved = *s1;
      do s1[0] = s1[-1];
      while (--s1 != stats && moved.freq > s1[-1].freq);
      *s1 = moved;
    }
  } while (--i);

  if (s->freq == 0) {
    const unsigned num_stats = min_context_->num_stats;
    do ++i;
    while ((--s)->freq == 0);
    esc_freq += i;
    min_context_->num_stats = uint16_t(num_stats - i);
    if (min_context_->num_stats == 1) {
      State first = *stats;
      do {
        first.freq = uint8_t(first.freq - (first.freq >> 1));
        esc_freq >>= 1;
      } while (esc_freq > 1);
      InsertNode(stats, U2I((num_stats + 1) >> 1));
      *(found_state_ = OneState(min_context_)) = first;
      return;
    }
    const unsigned n0 = (num_stats + 1) >> 1;
    const unsigned n1 = (min_context_->num_stats + 1u) >> 1;
    if (n0 != n1) min_context_->stats = Ref(ShrinkUnits(stats, n0, n1));
  }
  min_context_->summ_freq = uint16_t(sum_freq + esc_freq - (esc_freq >> 1));
  found_state_ = Stats(min_context_);
}

void Ppmd7Decoder::Model::NextContext() {
  const uint32_t successor = Successor(found_state_);
  if (order_fall_ == 0 && base_ + successor > text_) {
    min_context_ = max_context_ = Ctx(successor);
  } else {
    UpdateModel();
  }
}

void Ppmd7Decoder::Model::Update1() {
  State* s = found_state_;
  s->freq += 4;
  min_context_->summ_freq += 4;
  if (s[0].freq > s[-1].freq) {
    std::swap(s[0], s[-1]);
    found_state_ = --s;
    if (s->freq > kMaxFreq) Rescale();
  }
  NextContext();
}

void Ppmd7Decoder::Model::Update1_0() {
  prev_success_ = 2u * found_state_->freq > min_context_->summ_freq;
  run_length_ += int32_t(prev_success_);
  min_context_->summ_freq += 4;
  if ((found_state_->freq += 4) > kMaxFreq) Rescale();
  NextContext();
}

void Ppmd7Decoder::Model::Update2() {
  found_state_->freq += 4;
  min_context_->summ_freq += 4;
  if (found_state_->freq > kMaxFreq) Rescale();
  run_length_ = init_rl_;
  UpdateModel();
}

void Ppmd7Decoder::Model::UpdateBin() {
  found_state_->freq = uint8_t(found_state_->freq + (found_state_->freq < 128));
  prev_success_ = 1;
  ++run_length_;
  NextContext();
}

See* Ppmd7Decoder::Model::MakeEscFreq(unsigned num_masked, uint32_t* esc_freq) {
  const unsigned num_stats = min_context_->num_stats;
  if (num_stats == 256) {
    *esc_freq = 1;
    return &dummy_see_;
  }
  const unsigned non_masked = num_stats - num_masked;
  See* see = see_[t_.ns2indx[non_masked - 1]] +
             (non_masked < unsigned(Ctx(min_context_->suffix)->num_stats) - num_stats) +
             2 * unsigned(min_context_->summ_freq < 11 * num_stats) +
             4 * unsigned(num_masked > non_masked) + hi_bits_flag_;
  const unsigned r = see->summ >> see->shift;
  see->summ = uint16_t(see->summ - r);
  *esc_freq = r + (r == 0);
  return see;
}

Ppmd7Decoder::Ppmd7Decoder(InStream& source, std::span<const uint8_t> properties,
                           uint64_t unpack_size)
    : source_(source), left_(unpack_size) {
  // Properties are announced before any data: a bad one is a method variant
  // this decoder does not know, whatever the data holds.
  if (properties.size() < 5) throw Unsupported("bad PPMd properties");
  order_ = properties[0];
  memory_size_ = uint32_t{properties[1]} | uint32_t{properties[2]} << 8 |
                 uint32_t{properties[3]} << 16 | uint32_t{properties[4]} << 24;
  if (order_ < kMinOrder || order_ > kMaxOrder || memory_size_ < kMinMemory)
    throw Unsupported("bad PPMd properties");
  if (memory_size_ > kMaxMemory) throw Unsupported("PPMd memory size too large");
}

Ppmd7Decoder::~Ppmd7Decoder() = default;

size_t Ppmd7Decoder::Read(uint8_t* data, size_t size) {
  const size_t count = size_t(std::min<uint64_t>(size, left_));
  if (count == 0) return 0;
  if (!model_) model_ = std::make_unique<Model>(source_, order_, memory_size_);
  Model& model = *model_;
  for (size_t i = 0; i < count; ++i) {
    const int symbol = model.DecodeSymbol();
    if (symbol < 0) {
      if (model.overrun() != 0) throw UnexpectedEnd("unexpected end of data");
      throw DataError(symbol == -1 ? "PPMd data ends early" : "invalid PPMd data");
    }
    data[i] = uint8_t(symbol);
  }
  if (model.overrun() != 0) throw UnexpectedEnd("unexpected end of data");
  left_ -= count;
  return count;
}

}  // namespace cindral::codec
