#include "engine/codec/ppmd8.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/codec/ppmd_model.h"

// The model lives in one arena addressed by 32-bit offsets; contexts, state
// arrays and free-list nodes overlay each other there, so this file is built
// without strict aliasing. Every step that allocates, frees or moves a block
// must match the encoder's, because where blocks land decides when the arena
// runs out and how the model is cut back.

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
constexpr unsigned kMaxOrder = 16;
constexpr uint32_t kEmptyNode = 0xFFFFFFFFu;
constexpr uint32_t kTop = 1u << 24;
constexpr uint32_t kBottom = 1u << 15;

enum class RestoreMethod : unsigned { kRestart = 0, kCutOff = 1 };

// Context flags: a symbol of 0x40 or above is in the context (kHighSymbol),
// the symbol that led here was one (kHighParent), the context was rescaled.
constexpr uint8_t kRescaled = 0x04;
constexpr uint8_t kHighSymbol = 0x08;
constexpr uint8_t kHighParent = 0x10;

uint8_t HighSymbolFlag(uint8_t symbol) { return symbol >= 0x40 ? kHighSymbol : 0; }

// num_stats is the number of states less one: 0 marks a binary context whose
// single state lives in place of summ_freq and stats.
struct Context {
  uint8_t num_stats;
  uint8_t flags;
  uint16_t summ_freq;
  uint32_t stats;
  uint32_t suffix;
};

struct Node {
  uint32_t stamp;
  uint32_t next;
  uint32_t nu;
};

static_assert(sizeof(Context) == kUnitSize && sizeof(Node) == kUnitSize);

struct Tables : ppmd::SharedTables {
  uint8_t ns2indx[260];
  Tables() {
    unsigned i = 0;
    for (; i < 5; ++i) ns2indx[i] = uint8_t(i);
    for (unsigned m = i, k = 1; i < 260; ++i) {
      ns2indx[i] = uint8_t(m);
      if (--k == 0) k = ++m - 4;
    }
  }
};

const Tables& Shared() {
  static const Tables tables;
  return tables;
}

// The carry-less range coder of variant I: code is kept relative to low, and
// the range is cut back whenever low's top bytes could still change.
class RangeDecoder {
 public:
  explicit RangeDecoder(InStream& source) : bytes_(source) {}

  void Init() {
    for (int i = 0; i < 4; ++i) code_ = code_ << 8 | bytes_.Next();
    if (code_ == 0xFFFFFFFFu) throw DataError("invalid PPMd stream");
  }
  uint32_t Threshold(uint32_t total) {
    range_ /= total;
    if (range_ == 0) throw DataError("invalid PPMd stream");
    return code_ / range_;
  }
  void Decode(uint32_t start, uint32_t size) {
    start *= range_;
    low_ += start;
    code_ -= start;
    range_ *= size;
    Normalize();
  }
  // A decision whose zero has probability size0 / total, as two plain
  // decodes: this coder has no shortcut for it.
  unsigned DecodeBit(uint32_t size0, uint32_t total) {
    if (Threshold(total) < size0) {
      Decode(0, size0);
      return 0;
    }
    Decode(size0, total - size0);
    return 1;
  }
  uint64_t overrun() const { return bytes_.overrun(); }

 private:
  void Normalize() {
    for (;;) {
      if ((low_ ^ (low_ + range_)) >= kTop) {
        if (range_ >= kBottom) return;
        range_ = (0 - low_) & (kBottom - 1);
      }
      code_ = code_ << 8 | bytes_.Next();
      range_ <<= 8;
      low_ <<= 8;
    }
  }

  ppmd::ByteSource bytes_;
  uint32_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  uint32_t code_ = 0;
};

}  // namespace

class Ppmd8Decoder::Model : ppmd::Arena<Ppmd8Decoder::Model> {
 public:
  Model(InStream& source, unsigned order, uint32_t size, RestoreMethod restore_method)
      : Arena(Shared(), size, 0),
        rc_(source),
        t_(Shared()),
        max_order_(order),
        restore_method_(restore_method) {
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
  // A context stores one less than the states it has.
  static unsigned NumStates(const Context* c) { return c->num_stats + 1u; }
  State* Stats(const Context* c) const { return reinterpret_cast<State*>(base_ + c->stats); }
  Node* NodeAt(uint32_t ref) const { return reinterpret_cast<Node*>(base_ + ref); }
  static State* OneState(Context* c) { return reinterpret_cast<State*>(&c->summ_freq); }
  void ResetText(unsigned offset) { text_ = base_ + align_ + offset; }

  void InsertNode(void* block, unsigned index);
  void* RemoveNode(unsigned index);
  void GlueFreeBlocks();
  void FreeUnits(void* ptr, unsigned nu) { InsertNode(ptr, U2I(nu)); }
  void SpecialFreeUnit(void* ptr);
  void* MoveUnitsUp(void* old_ptr, unsigned nu);
  void ExpandTextArea();
  uint32_t UsedMemory() const;

  void RestartModel();
  void Refresh(Context* c, unsigned old_nu, unsigned scale);
  uint32_t CutOff(Context* c, unsigned order);
  void RestoreModel(Context* c1);
  Context* CreateSuccessors(bool skip, State* s1, Context* c);
  Context* ReduceOrder(State* s1, Context* c);
  void UpdateModel();
  void Rescale();
  void NextContext();
  void Update1();
  void Update1_0();
  void Update2();
  void UpdateBin();
  See* MakeEscFreq(unsigned num_masked, uint32_t* esc_freq);
  static void NoteHighBits() {}
  uint16_t& BinaryProbability(const State* one) {
    return bin_summ_[t_.ns2indx[one->freq - 1u]][t_.ns2bsindx[Suffix(min_context_)->num_stats] +
                                                 prev_success_ + min_context_->flags +
                                                 ((run_length_ >> 26) & 0x20)];
  }

  RangeDecoder rc_;
  const Tables& t_;
  unsigned max_order_;
  RestoreMethod restore_method_;

  Context* min_context_ = nullptr;
  Context* max_context_ = nullptr;
  State* found_state_ = nullptr;
  unsigned order_fall_ = 0;
  unsigned init_esc_ = 0;
  unsigned prev_success_ = 0;
  int32_t run_length_ = 0;
  int32_t init_rl_ = 0;
  uint32_t stamps_[kNumIndexes] = {};  // blocks on each free list
  See dummy_see_{};
  See see_[24][32];
  uint16_t bin_summ_[25][64];
};

void Ppmd8Decoder::Model::InsertNode(void* block, unsigned index) {
  Node* node = static_cast<Node*>(block);
  node->stamp = kEmptyNode;
  node->next = free_list_[index];
  node->nu = I2U(index);
  free_list_[index] = Ref(block);
  ++stamps_[index];
}

void* Ppmd8Decoder::Model::RemoveNode(unsigned index) {
  Node* node = NodeAt(free_list_[index]);
  free_list_[index] = node->next;
  --stamps_[index];
  return node;
}

// Merges each free block with the free blocks that follow it in memory, then
// sorts the merged blocks back into the size classes.
void Ppmd8Decoder::Model::GlueFreeBlocks() {
  uint32_t head = 0;
  uint32_t* prev = &head;
  glue_count_ = 1 << 13;
  std::memset(stamps_, 0, sizeof stamps_);

  // The order-0 context sits in the top unit, so no block runs past the end;
  // a block may run up to lo_unit_, which gets a guard.
  if (lo_unit_ != hi_unit_) reinterpret_cast<Node*>(lo_unit_)->stamp = 0;

  for (unsigned i = 0; i < kNumIndexes; ++i) {
    uint32_t next = free_list_[i];
    free_list_[i] = 0;
    while (next != 0) {
      Node* node = NodeAt(next);
      if (node->nu != 0) {
        *prev = next;
        prev = &node->next;
        for (Node* follower; (follower = node + node->nu)->stamp == kEmptyNode;) {
          node->nu += follower->nu;
          follower->nu = 0;
        }
      }
      next = node->next;
    }
  }
  *prev = 0;

  while (head != 0) {
    Node* node = NodeAt(head);
    head = node->next;
    unsigned nu = node->nu;
    if (nu == 0) continue;
    for (; nu > 128; nu -= 128, node += 128) InsertNode(node, kNumIndexes - 1);
    unsigned i = U2I(nu);
    if (I2U(i) != nu) {
      const unsigned k = I2U(--i);
      InsertNode(node + k, nu - k - 1);
    }
    InsertNode(node, i);
  }
}

// A unit at the bottom of the unit area goes back to the text area.
void Ppmd8Decoder::Model::SpecialFreeUnit(void* ptr) {
  if (static_cast<uint8_t*>(ptr) != units_start_) {
    InsertNode(ptr, 0);
    return;
  }
  units_start_ += kUnitSize;
}

// Moves a block near the bottom of the unit area to a free block higher up,
// so that the text area can grow after a cut.
void* Ppmd8Decoder::Model::MoveUnitsUp(void* old_ptr, unsigned nu) {
  const unsigned index = U2I(nu);
  if (static_cast<uint8_t*>(old_ptr) > units_start_ + 16 * 1024 || Ref(old_ptr) > free_list_[index])
    return old_ptr;
  void* ptr = RemoveNode(index);
  std::memcpy(ptr, old_ptr, U2B(nu));
  if (static_cast<uint8_t*>(old_ptr) != units_start_)
    InsertNode(old_ptr, index);
  else
    units_start_ += U2B(I2U(index));
  return ptr;
}

// Free blocks at the bottom of the unit area join the text area.
void Ppmd8Decoder::Model::ExpandTextArea() {
  uint32_t count[kNumIndexes] = {};
  if (lo_unit_ != hi_unit_) reinterpret_cast<Node*>(lo_unit_)->stamp = 0;
  Node* node = reinterpret_cast<Node*>(units_start_);
  for (; node->stamp == kEmptyNode; node += node->nu) {
    node->stamp = 0;
    ++count[U2I(node->nu)];
  }
  units_start_ = reinterpret_cast<uint8_t*>(node);

  for (unsigned i = 0; i < kNumIndexes; ++i) {
    for (uint32_t* next = &free_list_[i]; count[i] != 0;) {
      Node* n = NodeAt(*next);
      while (n->stamp == 0) {
        *next = n->next;
        n = NodeAt(*next);
        --stamps_[i];
        if (--count[i] == 0) break;
      }
      next = &n->next;
    }
  }
}

uint32_t Ppmd8Decoder::Model::UsedMemory() const {
  uint32_t free_units = 0;
  for (unsigned i = 0; i < kNumIndexes; ++i) free_units += stamps_[i] * I2U(i);
  return size_ - uint32_t(hi_unit_ - lo_unit_) - uint32_t(units_start_ - text_) - U2B(free_units);
}

void Ppmd8Decoder::Model::RestartModel() {
  std::memset(free_list_, 0, sizeof free_list_);
  std::memset(stamps_, 0, sizeof stamps_);
  ResetText(0);
  hi_unit_ = text_ + size_;
  lo_unit_ = units_start_ = hi_unit_ - size_ / 8 / kUnitSize * 7 * kUnitSize;
  glue_count_ = 0;

  order_fall_ = max_order_;
  run_length_ = init_rl_ = -int32_t(std::min(max_order_, 12u)) - 1;
  prev_success_ = 0;

  hi_unit_ -= kUnitSize;
  min_context_ = max_context_ = reinterpret_cast<Context*>(hi_unit_);
  min_context_->suffix = 0;
  min_context_->num_stats = 255;
  min_context_->flags = 0;
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

  for (unsigned i = 0, m = 0; m < 25; ++m) {
    while (t_.ns2indx[i] == m) ++i;
    for (unsigned k = 0; k < 8; ++k) {
      const uint16_t value = uint16_t(kBinScale - ppmd::kInitBinEsc[k] / (i + 1));
      for (unsigned r = 0; r < 64; r += 8) bin_summ_[m][k + r] = value;
    }
  }
  for (unsigned i = 0, m = 0; m < 24; ++m) {
    while (t_.ns2indx[i + 3] == m + 3) ++i;
    for (unsigned k = 0; k < 32; ++k) {
      See& s = see_[m][k];
      s.shift = kPeriodBits - 4;
      s.summ = uint16_t((2 * i + 5) << s.shift);
      s.count = 7;
    }
  }
}

// Halves (scale 1) or keeps the frequencies of a context that lost states,
// and shrinks its state array to fit.
void Ppmd8Decoder::Model::Refresh(Context* c, unsigned old_nu, unsigned scale) {
  unsigned i = c->num_stats;
  State* s = static_cast<State*>(ShrinkUnits(Stats(c), old_nu, (i + 2) >> 1));
  c->stats = Ref(s);
  unsigned flags = (c->flags & (kHighParent + kRescaled * scale)) + HighSymbolFlag(s->symbol);
  unsigned esc_freq = c->summ_freq - s->freq;
  s->freq = uint8_t((s->freq + scale) >> scale);
  unsigned sum_freq = s->freq;
  do {
    esc_freq -= (++s)->freq;
    s->freq = uint8_t((s->freq + scale) >> scale);
    sum_freq += s->freq;
    flags |= HighSymbolFlag(s->symbol);
  } while (--i);
  c->summ_freq = uint16_t(sum_freq + ((esc_freq + scale) >> scale));
  c->flags = uint8_t(flags);
}

// Drops the successors that point into the text area and everything deeper
// than the maximum order; returns the context's new reference, or 0 when
// nothing of it is left.
uint32_t Ppmd8Decoder::Model::CutOff(Context* c, unsigned order) {
  if (c->num_stats == 0) {
    State* s = OneState(c);
    if (Ptr(Successor(s)) >= units_start_) {
      if (order < max_order_)
        SetSuccessor(s, CutOff(Ctx(Successor(s)), order + 1));
      else
        SetSuccessor(s, 0);
      if (Successor(s) != 0 || order <= 9) return Ref(c);
    }
    SpecialFreeUnit(c);
    return 0;
  }

  const unsigned nu = (c->num_stats + 2u) >> 1;
  c->stats = Ref(MoveUnitsUp(Stats(c), nu));
  int last = c->num_stats;
  for (State* s = Stats(c) + last; s >= Stats(c); --s) {
    if (Ptr(Successor(s)) < units_start_) {
      State* s2 = Stats(c) + last--;
      SetSuccessor(s, 0);
      std::swap(*s, *s2);
    } else if (order < max_order_) {
      SetSuccessor(s, CutOff(Ctx(Successor(s)), order + 1));
    } else {
      SetSuccessor(s, 0);
    }
  }

  if (last != c->num_stats && order != 0) {
    c->num_stats = uint8_t(last);
    State* s = Stats(c);
    if (last < 0) {
      FreeUnits(s, nu);
      SpecialFreeUnit(c);
      return 0;
    }
    if (last == 0) {
      c->flags = uint8_t((c->flags & kHighParent) + HighSymbolFlag(s->symbol));
      *OneState(c) = *s;
      FreeUnits(s, nu);
      OneState(c)->freq = uint8_t((unsigned{OneState(c)->freq} + 11) >> 3);
    } else {
      Refresh(c, nu, c->summ_freq > 16 * unsigned(last));
    }
  }
  return Ref(c);
}

// The arena is full: the contexts from max_context_ down to c1 lose the state
// just added, and the model restarts or is cut back.
void Ppmd8Decoder::Model::RestoreModel(Context* c1) {
  ResetText(0);
  Context* c = max_context_;
  for (; c != c1; c = Suffix(c)) {
    if (--c->num_stats == 0) {
      State* s = Stats(c);
      c->flags = uint8_t((c->flags & kHighParent) + HighSymbolFlag(s->symbol));
      *OneState(c) = *s;
      SpecialFreeUnit(s);
      OneState(c)->freq = uint8_t((unsigned{OneState(c)->freq} + 11) >> 3);
    } else {
      Refresh(c, (c->num_stats + 3u) >> 1, 0);
    }
  }
  for (; c != min_context_; c = Suffix(c)) {
    if (c->num_stats == 0) {
      OneState(c)->freq = uint8_t(OneState(c)->freq - (OneState(c)->freq >> 1));
    } else if ((c->summ_freq += 4) > 128 + 4u * c->num_stats) {
      Refresh(c, (c->num_stats + 2u) >> 1, 1);
    }
  }

  if (restore_method_ == RestoreMethod::kRestart || UsedMemory() < (size_ >> 1)) {
    RestartModel();
    return;
  }
  while (max_context_->suffix != 0) max_context_ = Suffix(max_context_);
  do {
    CutOff(max_context_, 0);
    ExpandTextArea();
  } while (UsedMemory() > 3 * (size_ >> 2));
  glue_count_ = 0;
  order_fall_ = max_order_;
}

Context* Ppmd8Decoder::Model::CreateSuccessors(bool skip, State* s1, Context* c) {
  const uint32_t up_branch = Successor(found_state_);
  const uint8_t symbol = found_state_->symbol;
  State* ps[kMaxOrder + 1];
  unsigned num_ps = 0;
  if (!skip) ps[num_ps++] = found_state_;

  while (c->suffix != 0) {
    c = Suffix(c);
    State* s;
    if (s1 != nullptr) {
      s = s1;
      s1 = nullptr;
    } else if (c->num_stats != 0) {
      for (s = Stats(c); s->symbol != symbol; ++s) {
      }
      if (s->freq < kMaxFreq - 9) {
        ++s->freq;
        ++c->summ_freq;
      }
    } else {
      s = OneState(c);
      s->freq = uint8_t(s->freq + (Suffix(c)->num_stats == 0 && s->freq < 24));
    }
    const uint32_t successor = Successor(s);
    if (successor != up_branch) {
      c = Ctx(successor);
      if (num_ps == 0) return c;
      break;
    }
    if (num_ps == std::size(ps)) throw DataError("invalid PPMd data");
    ps[num_ps++] = s;
  }

  State up_state;
  up_state.symbol = *Ptr(up_branch);
  SetSuccessor(&up_state, up_branch + 1);
  const uint8_t flags =
      uint8_t((symbol >= 0x40 ? kHighParent : 0) + HighSymbolFlag(up_state.symbol));
  if (c->num_stats == 0) {
    up_state.freq = OneState(c)->freq;
  } else {
    State* s;
    for (s = Stats(c); s->symbol != up_state.symbol; ++s) {
    }
    const uint32_t cf = s->freq - 1u;
    const uint32_t s0 = c->summ_freq - c->num_stats - cf;
    up_state.freq = uint8_t(1 + ((2 * cf <= s0) ? (5 * cf > s0) : ((cf + 2 * s0 - 3) / s0)));
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
    c1->num_stats = 0;
    c1->flags = flags;
    *OneState(c1) = up_state;
    c1->suffix = Ref(c);
    SetSuccessor(ps[--num_ps], Ref(c1));
    c = c1;
  } while (num_ps != 0);
  return c;
}

// The found state has no successor context yet: walk down the suffixes until
// one does, pointing the states on the way at the text.
Context* Ppmd8Decoder::Model::ReduceOrder(State* s1, Context* c) {
  const Context* const c1 = c;
  const uint32_t up_branch = Ref(text_);
  const uint8_t symbol = found_state_->symbol;
  SetSuccessor(found_state_, up_branch);
  ++order_fall_;

  State* s;
  for (;;) {
    if (s1 != nullptr) {
      c = Suffix(c);
      s = s1;
      s1 = nullptr;
    } else {
      if (c->suffix == 0) return c;
      c = Suffix(c);
      if (c->num_stats != 0) {
        for (s = Stats(c); s->symbol != symbol; ++s) {
        }
        if (s->freq < kMaxFreq - 9) {
          s->freq += 2;
          c->summ_freq += 2;
        }
      } else {
        s = OneState(c);
        s->freq = uint8_t(s->freq + (s->freq < 32));
      }
    }
    if (Successor(s) != 0) break;
    SetSuccessor(s, up_branch);
    ++order_fall_;
  }

  if (Successor(s) <= up_branch) {
    State* const saved = found_state_;
    found_state_ = s;
    Context* successor = CreateSuccessors(false, nullptr, c);
    SetSuccessor(s, successor == nullptr ? 0 : Ref(successor));
    found_state_ = saved;
  }
  if (order_fall_ == 1 && c1 == max_context_) {
    SetSuccessor(found_state_, Successor(s));
    --text_;
  }
  if (Successor(s) == 0) return nullptr;
  return Ctx(Successor(s));
}

void Ppmd8Decoder::Model::UpdateModel() {
  uint32_t f_successor = Successor(found_state_);
  const uint8_t f_symbol = found_state_->symbol;
  const unsigned f_freq = found_state_->freq;
  State* s = nullptr;

  if (f_freq < kMaxFreq / 4 && min_context_->suffix != 0) {
    Context* c = Suffix(min_context_);
    if (c->num_stats == 0) {
      s = OneState(c);
      if (s->freq < 32) ++s->freq;
    } else {
      s = Stats(c);
      if (s->symbol != f_symbol) {
        do ++s;
        while (s->symbol != f_symbol);
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

  Context* c = max_context_;
  if (order_fall_ == 0 && f_successor != 0) {
    Context* cs = CreateSuccessors(true, s, min_context_);
    if (cs == nullptr) {
      SetSuccessor(found_state_, 0);
      return RestoreModel(c);
    }
    SetSuccessor(found_state_, Ref(cs));
    max_context_ = cs;
    return;
  }

  *text_++ = f_symbol;
  uint32_t successor = Ref(text_);
  if (text_ >= units_start_) return RestoreModel(c);

  if (f_successor == 0) {
    Context* cs = ReduceOrder(s, min_context_);
    if (cs == nullptr) return RestoreModel(c);
    f_successor = Ref(cs);
  } else if (Ptr(f_successor) < units_start_) {
    Context* cs = CreateSuccessors(false, s, min_context_);
    if (cs == nullptr) return RestoreModel(c);
    f_successor = Ref(cs);
  }

  if (--order_fall_ == 0) {
    successor = f_successor;
    text_ -= (max_context_ != min_context_);
  }

  const unsigned ns = min_context_->num_stats;
  const uint32_t s0 = min_context_->summ_freq - ns - f_freq;
  const uint8_t flag = HighSymbolFlag(f_symbol);

  for (; c != min_context_; c = Suffix(c)) {
    const unsigned ns1 = c->num_stats;
    if (ns1 != 0) {
      if ((ns1 & 1) != 0) {
        const unsigned old_nu = (ns1 + 1) >> 1;
        const unsigned i = U2I(old_nu);
        if (i != U2I(old_nu + 1)) {
          void* ptr = AllocUnits(i + 1);
          if (ptr == nullptr) return RestoreModel(c);
          void* old_ptr = Stats(c);
          std::memcpy(ptr, old_ptr, U2B(old_nu));
          InsertNode(old_ptr, i);
          c->stats = Ref(ptr);
        }
      }
      c->summ_freq = uint16_t(c->summ_freq + (3 * ns1 + 1 < ns));
    } else {
      State* s2 = static_cast<State*>(AllocUnits(0));
      if (s2 == nullptr) return RestoreModel(c);
      *s2 = *OneState(c);
      c->stats = Ref(s2);
      if (s2->freq < kMaxFreq / 4 - 1)
        s2->freq = uint8_t(s2->freq << 1);
      else
        s2->freq = kMaxFreq - 4;
      c->summ_freq = uint16_t(s2->freq + init_esc_ + (ns > 2));
    }
    uint32_t cf = 2 * f_freq * (c->summ_freq + 6u);
    const uint32_t sf = s0 + c->summ_freq;
    if (cf < 6 * sf) {
      cf = 1 + (cf > sf) + (cf >= 4 * sf);
      c->summ_freq += 4;
    } else {
      cf = 4 + (cf > 9 * sf) + (cf > 12 * sf) + (cf > 15 * sf);
      c->summ_freq = uint16_t(c->summ_freq + cf);
    }
    State* added = Stats(c) + ns1 + 1;
    SetSuccessor(added, successor);
    added->symbol = f_symbol;
    added->freq = uint8_t(cf);
    c->flags |= flag;
    c->num_stats = uint8_t(ns1 + 1);
  }
  max_context_ = min_context_ = Ctx(f_successor);
}

void Ppmd8Decoder::Model::Rescale() {
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

  unsigned i = min_context_->num_stats;
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
    min_context_->num_stats = uint8_t(num_stats - i);
    if (min_context_->num_stats == 0) {
      State first = *stats;
      first.freq = uint8_t((2 * first.freq + esc_freq - 1) / esc_freq);
      if (first.freq > kMaxFreq / 3) first.freq = kMaxFreq / 3;
      InsertNode(stats, U2I((num_stats + 2) >> 1));
      min_context_->flags =
          uint8_t((min_context_->flags & kHighParent) + HighSymbolFlag(first.symbol));
      *(found_state_ = OneState(min_context_)) = first;
      return;
    }
    const unsigned n0 = (num_stats + 2) >> 1;
    const unsigned n1 = (min_context_->num_stats + 2u) >> 1;
    if (n0 != n1) min_context_->stats = Ref(ShrinkUnits(stats, n0, n1));
    uint8_t flags = min_context_->flags & ~kHighSymbol;
    s = Stats(min_context_);
    flags |= HighSymbolFlag(s->symbol);
    i = min_context_->num_stats;
    do flags |= HighSymbolFlag((++s)->symbol);
    while (--i);
    min_context_->flags = flags;
  }
  min_context_->summ_freq = uint16_t(sum_freq + esc_freq - (esc_freq >> 1));
  min_context_->flags |= kRescaled;
  found_state_ = Stats(min_context_);
}

void Ppmd8Decoder::Model::NextContext() {
  Context* c = Ctx(Successor(found_state_));
  if (order_fall_ == 0 && reinterpret_cast<uint8_t*>(c) >= units_start_) {
    min_context_ = max_context_ = c;
    return;
  }
  UpdateModel();
  min_context_ = max_context_;
}

void Ppmd8Decoder::Model::Update1() {
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

void Ppmd8Decoder::Model::Update1_0() {
  prev_success_ = 2u * found_state_->freq >= min_context_->summ_freq;
  run_length_ += int32_t(prev_success_);
  min_context_->summ_freq += 4;
  if ((found_state_->freq += 4) > kMaxFreq) Rescale();
  NextContext();
}

void Ppmd8Decoder::Model::Update2() {
  min_context_->summ_freq += 4;
  if ((found_state_->freq += 4) > kMaxFreq) Rescale();
  run_length_ = init_rl_;
  UpdateModel();
  min_context_ = max_context_;
}

void Ppmd8Decoder::Model::UpdateBin() {
  found_state_->freq = uint8_t(found_state_->freq + (found_state_->freq < 196));
  prev_success_ = 1;
  ++run_length_;
  NextContext();
}

See* Ppmd8Decoder::Model::MakeEscFreq(unsigned num_masked, uint32_t* esc_freq) {
  const unsigned num_stats = min_context_->num_stats;
  if (num_stats == 255) {
    *esc_freq = 1;
    return &dummy_see_;
  }
  See* see = see_[t_.ns2indx[num_stats + 2] - 3] +
             (min_context_->summ_freq > 11 * (num_stats + 1)) +
             2 * unsigned(2 * num_stats < Suffix(min_context_)->num_stats + num_masked) +
             min_context_->flags;
  const unsigned r = see->summ >> see->shift;
  see->summ = uint16_t(see->summ - r);
  *esc_freq = r + (r == 0);
  return see;
}

Ppmd8Decoder::Ppmd8Decoder(InStream& source, uint64_t unpack_size)
    : source_(source), left_(unpack_size) {}

Ppmd8Decoder::~Ppmd8Decoder() = default;

void Ppmd8Decoder::ReadParameters() {
  uint8_t word[2];
  size_t got = 0;
  while (got < sizeof word) {
    const size_t n = source_.Read(word + got, sizeof word - got);
    if (n == 0) throw UnexpectedEnd("unexpected end of data");
    got += n;
  }
  const unsigned parameters = word[0] | unsigned{word[1]} << 8;
  order_ = (parameters & 0x0F) + 1;
  memory_size_ = (((parameters >> 4) & 0xFF) + 1) << 20;
  restore_method_ = parameters >> 12;
  // Freezing the model is left out on purpose: its one encoder changed its
  // behaviour, so no two writers agree on what such a stream means.
  if (restore_method_ > unsigned(RestoreMethod::kCutOff))
    throw Unsupported("PPMd restoration method is not supported");
  if (order_ < kMinOrder) throw DataError("invalid PPMd parameters");
  parameters_read_ = true;
}

size_t Ppmd8Decoder::Read(uint8_t* data, size_t size) {
  const size_t count = size_t(std::min<uint64_t>(size, left_));
  if (count == 0) return 0;
  if (!parameters_read_) ReadParameters();
  if (!model_)
    model_ = std::make_unique<Model>(source_, order_, memory_size_, RestoreMethod(restore_method_));
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
