#include "engine/codec/deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "engine/codec/spare_pool.h"

namespace cindral::codec {
namespace {

constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr uint32_t kWindowMask = kDeflateWindow - 1;
constexpr unsigned kLitLenSymbols = 286;
constexpr unsigned kDistanceSymbols = 30;
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kHash4Bits = 16;
constexpr unsigned kHash3Bits = 14;
// Bytes matched in one pass over the input: positions are 32-bit and grow
// across calls, so a longer input is matched in segments, each primed with
// the window before it.
constexpr size_t kSegment = size_t{64} << 20;
// Block items before the block is ended whatever its statistics say.
constexpr size_t kMaxItems = size_t{1} << 16;
// Input bytes between two looks at whether the data changed enough to
// start a new block.
constexpr size_t kChunkBytes = 8192;

enum class Parse { kGreedy, kLazy, kLazy2 };

struct LevelParameters {
  Parse parse;
  unsigned chain;       // candidates examined per position
  unsigned nice;        // a match this long ends the search
  unsigned good;        // a match this long quarters the look ahead's search
  unsigned lazy;        // a match this long is taken without looking ahead
  unsigned max_insert;  // longer greedy matches do not index their inside
};

// Level 6 is what archive level 5 asks for. Its deep search pays off only
// because the look ahead after a good match is short: a quarter of the chain
// from 8 bytes on, none from 16 (measured on text and program binaries).
constexpr LevelParameters kLevels[9] = {
    {Parse::kGreedy, 2, 12, 12, 0, 8},         {Parse::kGreedy, 4, 16, 16, 0, 16},
    {Parse::kGreedy, 8, 32, 32, 0, 32},        {Parse::kLazy, 8, 32, 16, 32, 258},
    {Parse::kLazy, 16, 64, 32, 64, 258},       {Parse::kLazy, 96, 128, 8, 16, 258},
    {Parse::kLazy2, 128, 258, 16, 32, 258},    {Parse::kLazy2, 256, 258, 258, 258, 258},
    {Parse::kLazy2, 1024, 258, 258, 258, 258},
};

// --- Huffman codes ------------------------------------------------------------

// Canonical codes, bit-reversed for a writer that sends the low bit first.
void BuildCodes(const uint8_t* lengths, unsigned count, uint16_t* codes) {
  std::array<unsigned, kMaxCodeBits + 2> per_length{}, next{};
  for (unsigned symbol = 0; symbol < count; ++symbol) ++per_length[lengths[symbol]];
  per_length[0] = 0;
  unsigned code = 0;
  for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
    code = (code + per_length[bits - 1]) << 1;
    next[bits] = code;
  }
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    const unsigned bits = lengths[symbol];
    if (bits == 0) continue;
    const unsigned value = next[bits]++;
    unsigned reversed = 0;
    for (unsigned i = 0; i < bits; ++i) reversed |= ((value >> i) & 1) << (bits - 1 - i);
    codes[symbol] = static_cast<uint16_t>(reversed);
  }
}

// --- symbol tables, built once ----------------------------------------------

struct Tables {
  std::array<uint16_t, kMaxMatch + 1> length_symbol{};  // 257..285
  std::array<uint16_t, 29> length_base{};
  std::array<uint8_t, 29> length_extra{};
  std::array<uint32_t, 30> distance_base{};
  std::array<uint8_t, 30> distance_extra{};
  std::array<uint8_t, kLitLenSymbols + 2> fixed_litlen_bits{};
  std::array<uint8_t, kDistanceSymbols> fixed_distance_bits{};
  std::array<uint16_t, kLitLenSymbols + 2> fixed_litlen_codes{};
  std::array<uint16_t, kDistanceSymbols> fixed_distance_codes{};

  Tables() {
    unsigned base = 3;
    for (unsigned code = 0; code < 28; ++code) {
      length_extra[code] = code < 8 ? 0 : static_cast<uint8_t>((code - 4) / 4);
      length_base[code] = static_cast<uint16_t>(base);
      for (unsigned i = 0; i < (1u << length_extra[code]); ++i)
        length_symbol[base + i] = static_cast<uint16_t>(257 + code);
      base += 1u << length_extra[code];
    }
    // Code 284 ends at 257 although its extra bits could say 258: 258 has
    // code 285 of its own.
    length_base[28] = 258;
    length_extra[28] = 0;
    length_symbol[258] = 285;
    uint32_t distance = 1;
    for (unsigned code = 0; code < 30; ++code) {
      distance_extra[code] = code < 4 ? 0 : static_cast<uint8_t>(code / 2 - 1);
      distance_base[code] = distance;
      distance += 1u << distance_extra[code];
    }
    for (unsigned symbol = 0; symbol < kLitLenSymbols + 2; ++symbol)
      fixed_litlen_bits[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    fixed_distance_bits.fill(5);
    BuildCodes(fixed_litlen_bits.data(), kLitLenSymbols + 2, fixed_litlen_codes.data());
    BuildCodes(fixed_distance_bits.data(), kDistanceSymbols, fixed_distance_codes.data());
  }
};

const Tables& SymbolTables() {
  static const Tables tables;
  return tables;
}

unsigned DistanceSymbol(uint32_t distance) {
  const uint32_t d = distance - 1;
  if (d < 4) return d;
  const unsigned top = std::bit_width(d) - 1;
  return 2 * top + ((d >> (top - 1)) & 1);
}

// Code lengths of at most max_bits for the given frequencies. Every code is
// complete (a lone symbol gets a partner) so that strict decoders accept it.
void BuildLengths(const uint32_t* frequencies, unsigned count, unsigned max_bits,
                  uint8_t* lengths) {
  std::fill(lengths, lengths + count, 0);
  std::array<uint64_t, kLitLenSymbols + 2> leaves;
  unsigned used = 0;
  for (unsigned symbol = 0; symbol < count; ++symbol)
    if (frequencies[symbol] != 0) leaves[used++] = uint64_t{frequencies[symbol]} << 16 | symbol;
  if (used < 2) {
    const unsigned first = used == 1 ? unsigned(leaves[0] & 0xffff) : 0;
    lengths[first] = 1;
    lengths[first == 0 ? 1 : 0] = 1;
    return;
  }
  std::sort(leaves.begin(), leaves.begin() + used);

  // Two-queue construction: leaves in order of weight, internal nodes are
  // made in order of weight too.
  std::array<uint64_t, kLitLenSymbols + 2> weight;
  std::array<uint16_t, 2 * (kLitLenSymbols + 2)> parent;
  unsigned next_leaf = 0, next_node = 0, nodes = 0;
  const auto take = [&]() -> unsigned {
    if (next_leaf < used && (next_node == nodes || (leaves[next_leaf] >> 16) <= weight[next_node]))
      return next_leaf++;
    return used + next_node++;
  };
  const auto weight_of = [&](unsigned node) {
    return node < used ? leaves[node] >> 16 : weight[node - used];
  };
  for (unsigned made = 0; made + 1 < used; ++made) {
    const unsigned a = take(), b = take();
    weight[nodes] = weight_of(a) + weight_of(b);
    parent[a] = parent[b] = static_cast<uint16_t>(used + nodes);
    ++nodes;
  }
  // Depths from the root (the last node made) down.
  std::array<uint16_t, 2 * (kLitLenSymbols + 2)> depth;
  const unsigned root = used + nodes - 1;
  depth[root] = 0;
  for (unsigned node = root; node-- > used;) depth[node] = depth[parent[node]] + 1;
  std::array<unsigned, 64> per_length{};
  for (unsigned leaf = 0; leaf < used; ++leaf)
    ++per_length[std::min<unsigned>(depth[parent[leaf]] + 1u, max_bits)];

  // Clamping overfills the code; each step hangs one leaf from the longest
  // length under the cap beside another leaf, which removes exactly one
  // unit of the excess.
  uint64_t kraft = 0;
  for (unsigned bits = 1; bits <= max_bits; ++bits)
    kraft += uint64_t{per_length[bits]} << (max_bits - bits);
  while (kraft > (uint64_t{1} << max_bits)) {
    unsigned bits = max_bits - 1;
    while (per_length[bits] == 0) --bits;
    --per_length[bits];
    per_length[bits + 1] += 2;
    --per_length[max_bits];
    --kraft;
  }
  // The least frequent symbols take the longest codes.
  unsigned leaf = 0;
  for (unsigned bits = max_bits; bits >= 1; --bits)
    for (unsigned n = 0; n < per_length[bits]; ++n)
      lengths[leaves[leaf++] & 0xffff] = static_cast<uint8_t>(bits);
}

// --- output -------------------------------------------------------------------

// LEN and NLEN of a stored block.
std::array<uint8_t, 4> StoredLengths(size_t length) {
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(~length), static_cast<uint8_t>(~length >> 8)};
}

// Low bit first, into a buffer the caller sized for the worst case.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* at) : at_(at) {}

  void Put(uint32_t value, unsigned bits) {
    buffer_ |= uint64_t{value} << count_;
    count_ += bits;
    if (count_ >= 32) {
      const auto word = static_cast<uint32_t>(buffer_);
      std::memcpy(at_, &word, 4);
      at_ += 4;
      buffer_ >>= 32;
      count_ -= 32;
    }
  }

  // Pads with zero bits to the next byte boundary.
  void Align() {
    while (count_ > 0) {
      *at_++ = static_cast<uint8_t>(buffer_);
      buffer_ >>= 8;
      count_ = count_ > 8 ? count_ - 8 : 0;
    }
    buffer_ = 0;
  }

  void PutBytes(const uint8_t* data, size_t size) {
    std::memcpy(at_, data, size);
    at_ += size;
  }

  uint8_t* At() const { return at_; }
  // The buffer moved: the bytes already written are at the same offsets.
  void MoveTo(uint8_t* at) { at_ = at; }

 private:
  uint8_t* at_;
  uint64_t buffer_ = 0;
  unsigned count_ = 0;
};

// One parsed item: a literal (length field < 256) or a match (length + 256,
// distance - 1).
struct Item {
  uint16_t length;
  uint16_t distance;
};

struct Histogram {
  std::array<uint32_t, kLitLenSymbols + 2> litlen{};
  std::array<uint32_t, kDistanceSymbols> distance{};
};

// Bits to send a histogram's symbols with a code fitted to model, whose
// unseen symbols are priced as rare; and with a code fitted to itself.
double CrossEntropyBits(const Histogram& data, const Histogram& model) {
  double model_total = 0, bits = 0;
  for (uint32_t n : model.litlen) model_total += n;
  for (unsigned s = 0; s < kLitLenSymbols; ++s) {
    if (data.litlen[s] == 0) continue;
    const double p = model.litlen[s] ? model.litlen[s] : 0.5;
    bits += data.litlen[s] * std::log2(model_total / p);
  }
  double distance_total = 0;
  for (uint32_t n : model.distance) distance_total += n;
  for (unsigned s = 0; s < kDistanceSymbols; ++s) {
    if (data.distance[s] == 0) continue;
    const double p = model.distance[s] ? model.distance[s] : 0.5;
    bits += data.distance[s] * std::log2((distance_total + 1) / p);
  }
  return bits;
}

// --- the encoder --------------------------------------------------------------

struct Match {
  unsigned length = 0;
  uint32_t distance = 0;
};

// log2(x) in sixteenths of a bit, for x >= 1: close enough for prices, and
// small files do not pay for 256 logarithms.
int Log2Sixteenths(uint32_t x) {
  static constexpr uint8_t kFraction[16] = {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15};
  const int top = std::bit_width(x) - 1;
  const uint32_t next4 = top >= 4 ? x >> (top - 4) : x << (4 - top);
  return top * 16 + kFraction[next4 & 15];
}

uint32_t Load32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

uint64_t Load64(const uint8_t* at) {
  uint64_t value;
  std::memcpy(&value, at, 8);
  return value;
}

uint32_t Hash4(const uint8_t* at) { return (Load32(at) * 0x9E3779B1u) >> (32 - kHash4Bits); }
uint32_t Hash3(const uint8_t* at) {
  return ((Load32(at) & 0xffffff) * 0x9E3779B1u) >> (32 - kHash3Bits);
}

// Matching state and block buffers, reused call after call. Positions are
// 32-bit and keep growing across calls, so entries left by earlier inputs
// lie below the current call's first position and are ignored without
// clearing any table.
class Encoder {
 public:
  Encoder()
      : head4_(new uint32_t[size_t{1} << kHash4Bits]()),
        head3_(new uint32_t[size_t{1} << kHash3Bits]()),
        chain_(new uint32_t[kDeflateWindow]()),
        items_(new Item[kMaxItems]) {}

  // Appends the encoding of data, matched against dictionary (at most the
  // window) too. last ends the stream; otherwise it ends byte-aligned.
  void Encode(std::span<const uint8_t> dictionary, std::span<const uint8_t> data, int level,
              bool last, std::vector<uint8_t>& out) {
    params_ = kLevels[std::clamp(level, 1, 9) - 1];
    out_ = &out;
    const size_t start = out.size();
    out.resize(start + 64);
    writer_ = BitWriter(out.data() + start);
    if (data.empty()) {
      EmptyEnd(last);
      return;
    }
    size_t done = 0;
    while (done < data.size()) {
      const size_t length = std::min(kSegment, data.size() - done);
      std::span<const uint8_t> before = done == 0 ? dictionary : data.first(done);
      if (before.size() > kDeflateWindow) before = before.last(kDeflateWindow);
      EncodeSegment(before, data.subspan(done, length), last && done + length == data.size());
      done += length;
    }
    if (!last) AlignWithEmptyStoredBlock();
    writer_.Align();
    out.resize(static_cast<size_t>(writer_.At() - out.data()));
  }

 private:
  // --- matching ---

  void EncodeSegment(std::span<const uint8_t> before, std::span<const uint8_t> data, bool last) {
    // The dictionary and the data must be contiguous for matching; when the
    // caller's are not, both are copied into the encoder's own buffer.
    if (!before.empty() && before.data() + before.size() != data.data()) {
      joined_.assign(before.begin(), before.end());
      joined_.insert(joined_.end(), data.begin(), data.end());
      input_ = joined_.data();
    } else {
      input_ = before.empty() ? data.data() : before.data();
    }
    begin_ = before.size();
    end_ = begin_ + data.size();
    if (uint64_t{base_} + end_ + 1 >= (uint64_t{1} << 31)) ResetPositions();
    first_ = base_ + 1;  // 0 in a table means "none"
    base_ = first_;
    inserted_ = 0;
    Insert(begin_);
    block_start_ = begin_;
    chunk_start_ = begin_;
    chunk_item_ = 0;
    item_count_ = 0;
    block_ = {};
    chunk_ = {};
    StartPrices(data);

    if (params_.parse == Parse::kGreedy) {
      ParseGreedy();
    } else {
      ParseLazy();
    }
    FlushBlock(end_, last);
    base_ += static_cast<uint32_t>(end_);
  }

  void ResetPositions() {
    std::fill(head4_.get(), head4_.get() + (size_t{1} << kHash4Bits), 0);
    std::fill(head3_.get(), head3_.get() + (size_t{1} << kHash3Bits), 0);
    std::fill(chain_.get(), chain_.get() + kDeflateWindow, 0);
    base_ = 0;
  }

  // Indexes the positions up to (not including) until.
  void Insert(size_t until) {
    const size_t hashable = end_ >= 4 ? end_ - 3 : 0;
    const size_t stop = std::min(until, hashable);
    for (size_t i = inserted_; i < stop; ++i) {
      const uint32_t position = base_ + static_cast<uint32_t>(i);
      const uint32_t h = Hash4(input_ + i);
      chain_[position & kWindowMask] = head4_[h];
      head4_[h] = position;
      head3_[Hash3(input_ + i)] = position;
    }
    inserted_ = std::max(inserted_, until);
  }

  unsigned MatchLength(const uint8_t* a, const uint8_t* b, unsigned limit) const {
    unsigned length = 0;
    while (length + 8 <= limit) {
      const uint64_t diff = Load64(a + length) ^ Load64(b + length);
      if (diff != 0) return length + (std::countr_zero(diff) >> 3);
      length += 8;
    }
    while (length < limit && a[length] == b[length]) ++length;
    return length;
  }

  // The longest match at i among chain candidates, then a 3-byte one.
  Match Find(size_t i, unsigned chain, unsigned better_than) {
    Match best;
    const size_t left = end_ - i;
    if (left < 4) return best;
    const unsigned limit = static_cast<unsigned>(std::min<size_t>(kMaxMatch, left));
    if (better_than >= limit) return best;
    const uint32_t position = base_ + static_cast<uint32_t>(i);
    const uint32_t lowest =
        std::max<uint32_t>(first_, position > kDeflateWindow ? position - kDeflateWindow : 0);
    const uint8_t* here = input_ + i;
    const uint32_t three_candidate = head3_[Hash3(here)];
    Insert(i + 1);
    unsigned best_length = std::max(better_than, kMinMatch);
    uint32_t candidate = chain_[position & kWindowMask];
    const uint32_t first4 = Load32(here);
    while (chain-- > 0 && candidate >= lowest && candidate < position) {
      const uint8_t* there = input_ + (candidate - base_);
      // The four bytes ending one past the best length reject most
      // candidates with one load.
      if (Load32(there + best_length - 3) == Load32(here + best_length - 3) &&
          Load32(there) == first4) {
        const unsigned length = MatchLength(there, here, limit);
        if (length > best_length && Worth(length, position - candidate, here)) {
          best_length = length;
          best = {length, position - candidate};
          if (length >= params_.nice || length == limit) break;
        }
      }
      const uint32_t next = chain_[candidate & kWindowMask];
      if (next >= candidate) break;
      candidate = next;
    }
    if (best.length == 0 && better_than < kMinMatch && three_candidate >= lowest &&
        three_candidate < position && position - three_candidate <= kNearThree) {
      const uint8_t* there = input_ + (three_candidate - base_);
      if ((Load32(there) & 0xffffff) == (first4 & 0xffffff) &&
          Worth(kMinMatch, position - three_candidate, here))
        best = {kMinMatch, position - three_candidate};
    }
    return best;
  }
  // A 3-byte match further away costs more bits than its literals.
  static constexpr uint32_t kNearThree = 8192;

  // Whether a short match codes smaller than its bytes as literals, priced
  // with the codes of the block before. Far short matches in text lose.
  bool Worth(unsigned length, uint32_t distance, const uint8_t* here) const {
    if (length > kPricedLength) return true;
    unsigned literals = 0;
    for (unsigned k = 0; k < length; ++k) literals += literal_cost_[here[k]];
    return length_cost_[length] + distance_cost_[DistanceSymbol(distance)] < literals;
  }
  static constexpr unsigned kPricedLength = 5;

  // Prices for the first block: literals from the data's own byte
  // frequencies, matches as the fixed code sends them.
  void StartPrices(std::span<const uint8_t> data) {
    const Tables& t = SymbolTables();
    UpdatePrices(t.fixed_litlen_bits.data(), t.fixed_distance_bits.data());
    std::array<uint32_t, 256> counts{};
    const size_t sample = std::min<size_t>(data.size(), 65536);
    for (size_t k = 0; k < sample; ++k) ++counts[data[k]];
    // An unseen byte counts as half an occurrence.
    const int sample_log = Log2Sixteenths(2 * sample);
    for (unsigned byte = 0; byte < 256; ++byte) {
      const int bits =
          (sample_log - Log2Sixteenths(2 * counts[byte] + (counts[byte] == 0)) + 8) / 16;
      literal_cost_[byte] = static_cast<uint8_t>(std::clamp(bits, 1, 15));
    }
  }

  // Prices for the next block: the code this block was sent with.
  void UpdatePrices(const uint8_t* litlen_bits, const uint8_t* distance_bits) {
    const auto price = [](uint8_t bits) { return bits ? bits : kMaxCodeBits; };
    for (unsigned byte = 0; byte < 256; ++byte)
      literal_cost_[byte] = static_cast<uint8_t>(price(litlen_bits[byte]));
    const Tables& t = SymbolTables();
    for (unsigned length = kMinMatch; length <= kMaxMatch; ++length) {
      const unsigned symbol = t.length_symbol[length];
      length_cost_[length] =
          static_cast<uint8_t>(price(litlen_bits[symbol]) + t.length_extra[symbol - 257]);
    }
    for (unsigned d = 0; d < kDistanceSymbols; ++d)
      distance_cost_[d] = static_cast<uint8_t>(price(distance_bits[d]) + t.distance_extra[d]);
  }

  void ParseGreedy() {
    size_t i = begin_;
    while (i < end_) {
      const Match match = Find(i, params_.chain, 0);
      if (match.length == 0) {
        Literal(i);
        ++i;
        continue;
      }
      AddMatch(i, match);
      if (match.length <= params_.max_insert) {
        Insert(i + match.length);
      } else {
        inserted_ = i + match.length;
      }
      i += match.length;
    }
  }

  void ParseLazy() {
    size_t i = begin_;
    while (i < end_) {
      Match match = Find(i, params_.chain, 0);
      if (match.length == 0) {
        Literal(i);
        ++i;
        continue;
      }
      // Look one (lazy2: two) positions ahead for a longer match; a shorter
      // literal run plus a longer match usually codes smaller.
      while (match.length < params_.lazy && i + 1 < end_) {
        const unsigned chain = match.length >= params_.good ? params_.chain / 4 : params_.chain;
        const Match next = Find(i + 1, chain, match.length);
        if (next.length > match.length) {
          Literal(i);
          ++i;
          match = next;
          continue;
        }
        if (params_.parse != Parse::kLazy2 || i + 2 >= end_) break;
        const Match after = Find(i + 2, chain, match.length + 1);
        if (after.length <= match.length + 1) break;
        Literal(i);
        Literal(i + 1);
        i += 2;
        match = after;
      }
      AddMatch(i, match);
      Insert(i + match.length);
      i += match.length;
    }
  }

  // --- block building ---

  void Literal(size_t i) {
    const uint8_t byte = input_[i];
    items_[item_count_++] = {byte, 0};
    ++chunk_.litlen[byte];
    AfterItem(i + 1);
  }

  void AddMatch(size_t i, Match match) {
    const Tables& t = SymbolTables();
    items_[item_count_++] = {static_cast<uint16_t>(match.length + 256),
                             static_cast<uint16_t>(match.distance - 1)};
    ++chunk_.litlen[t.length_symbol[match.length]];
    ++chunk_.distance[DistanceSymbol(match.distance)];
    AfterItem(i + match.length);
  }

  // A full item buffer ends the block; at every chunk of input the block
  // ends before the chunk when the chunk's statistics differ so much from
  // the block's that a new code pays for its header.
  void AfterItem(size_t next) {
    if (item_count_ >= kMaxItems) {
      FlushBlock(next, false);
      return;
    }
    if (next - chunk_start_ < kChunkBytes) return;
    if (chunk_start_ > block_start_ && ChunkDiffers()) {
      const size_t count = item_count_;
      item_count_ = chunk_item_;
      WriteBlock(block_, chunk_start_, false);
      std::memmove(items_.get(), items_.get() + chunk_item_, (count - chunk_item_) * sizeof(Item));
      item_count_ = count - chunk_item_;
      block_start_ = chunk_start_;
      block_ = {};
    }
    AddChunkToBlock();
    chunk_start_ = next;
    chunk_item_ = item_count_;
  }

  // Ends the block at block_end with everything gathered so far.
  void FlushBlock(size_t block_end, bool final_block) {
    AddChunkToBlock();
    if (block_end != block_start_ || final_block) WriteBlock(block_, block_end, final_block);
    item_count_ = 0;
    block_ = {};
    block_start_ = chunk_start_ = block_end;
    chunk_item_ = 0;
  }

  void AddChunkToBlock() {
    for (unsigned s = 0; s < chunk_.litlen.size(); ++s) block_.litlen[s] += chunk_.litlen[s];
    for (unsigned s = 0; s < kDistanceSymbols; ++s) block_.distance[s] += chunk_.distance[s];
    chunk_ = {};
  }

  bool ChunkDiffers() const {
    const double shared = CrossEntropyBits(chunk_, block_);
    const double own = CrossEntropyBits(chunk_, chunk_);
    // A dynamic header costs several hundred bits, and a small chunk's own
    // statistics flatter it.
    return shared - own > 1500;
  }

  // --- block output ---

  // Emits items [0, item_count_), whose symbols h counts, as one block
  // covering input [block_start_, block_end), in whichever of the three
  // forms is smallest.
  void WriteBlock(Histogram h, size_t block_end, bool final_block) {
    h.litlen[kEndOfBlock] = 1;

    DynamicHeader header;
    BuildLengths(h.litlen.data(), kLitLenSymbols, kMaxCodeBits, header.litlen_bits.data());
    BuildLengths(h.distance.data(), kDistanceSymbols, kMaxCodeBits, header.distance_bits.data());
    PrepareHeader(header);

    const Tables& t = SymbolTables();
    uint64_t extra = 0, dynamic_bits = header.bits, fixed_bits = 3;
    for (unsigned s = 257; s < kLitLenSymbols; ++s)
      extra += uint64_t{h.litlen[s]} * t.length_extra[s - 257];
    for (unsigned s = 0; s < kDistanceSymbols; ++s)
      extra += uint64_t{h.distance[s]} * t.distance_extra[s];
    for (unsigned s = 0; s < kLitLenSymbols; ++s) {
      dynamic_bits += uint64_t{h.litlen[s]} * header.litlen_bits[s];
      fixed_bits += uint64_t{h.litlen[s]} * t.fixed_litlen_bits[s];
    }
    for (unsigned s = 0; s < kDistanceSymbols; ++s) {
      dynamic_bits += uint64_t{h.distance[s]} * header.distance_bits[s];
      fixed_bits += uint64_t{h.distance[s]} * 5;
    }
    dynamic_bits += extra;
    fixed_bits += extra;
    const size_t raw = block_end - block_start_;
    const uint64_t stored_bits =
        (3 + 7 + 32) * std::max<uint64_t>(1, (raw + 65534) / 65535) + 8 * uint64_t{raw};

    Reserve(raw + raw / 65535 * 5 + 64);
    if (stored_bits < dynamic_bits && stored_bits < fixed_bits) {
      WriteStored(input_ + block_start_, raw, final_block);
    } else if (fixed_bits <= dynamic_bits) {
      writer_.Put(final_block ? 3 : 2, 3);
      WriteItems(t.fixed_litlen_codes.data(), t.fixed_litlen_bits.data(),
                 t.fixed_distance_codes.data(), t.fixed_distance_bits.data());
      UpdatePrices(t.fixed_litlen_bits.data(), t.fixed_distance_bits.data());
    } else {
      writer_.Put(final_block ? 5 : 4, 3);
      WriteHeader(header);
      std::array<uint16_t, kLitLenSymbols> litlen_codes;
      std::array<uint16_t, kDistanceSymbols> distance_codes;
      BuildCodes(header.litlen_bits.data(), kLitLenSymbols, litlen_codes.data());
      BuildCodes(header.distance_bits.data(), kDistanceSymbols, distance_codes.data());
      WriteItems(litlen_codes.data(), header.litlen_bits.data(), distance_codes.data(),
                 header.distance_bits.data());
      UpdatePrices(header.litlen_bits.data(), header.distance_bits.data());
    }
  }

  struct DynamicHeader {
    std::array<uint8_t, kLitLenSymbols> litlen_bits{};
    std::array<uint8_t, kDistanceSymbols> distance_bits{};
    unsigned litlen_count = 0, distance_count = 0, code_count = 0;
    // Run-length coded lengths: symbol (0..18) and its extra value.
    std::array<uint8_t, kLitLenSymbols + kDistanceSymbols> runs{}, run_extra{};
    unsigned run_count = 0;
    std::array<uint8_t, 19> code_bits{};
    std::array<uint16_t, 19> codes{};
    uint64_t bits = 0;
  };

  // Extra bits of the run symbols 16, 17 and 18.
  static constexpr uint8_t kRunExtraBits[3] = {2, 3, 7};
  static constexpr uint8_t kCodeOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                             11, 4,  12, 3, 13, 2, 14, 1, 15};

  static void PrepareHeader(DynamicHeader& header) {
    header.litlen_count = kLitLenSymbols;
    while (header.litlen_count > 257 && header.litlen_bits[header.litlen_count - 1] == 0)
      --header.litlen_count;
    header.distance_count = kDistanceSymbols;
    while (header.distance_count > 1 && header.distance_bits[header.distance_count - 1] == 0)
      --header.distance_count;
    std::array<uint8_t, kLitLenSymbols + kDistanceSymbols> all;
    std::copy_n(header.litlen_bits.begin(), header.litlen_count, all.begin());
    std::copy_n(header.distance_bits.begin(), header.distance_count,
                all.begin() + header.litlen_count);
    const unsigned total = header.litlen_count + header.distance_count;
    std::array<uint32_t, 19> frequencies{};
    const auto add = [&](unsigned symbol, unsigned extra) {
      header.runs[header.run_count] = static_cast<uint8_t>(symbol);
      header.run_extra[header.run_count++] = static_cast<uint8_t>(extra);
      ++frequencies[symbol];
    };
    for (unsigned i = 0; i < total;) {
      const uint8_t value = all[i];
      unsigned run = 1;
      while (i + run < total && all[i + run] == value) ++run;
      i += run;
      if (value == 0) {
        while (run >= 11) {
          const unsigned n = std::min(run, 138u);
          add(18, n - 11);
          run -= n;
        }
        if (run >= 3) {
          add(17, run - 3);
          run = 0;
        }
      } else {
        add(value, 0);
        --run;
        while (run >= 3) {
          const unsigned n = std::min(run, 6u);
          add(16, n - 3);
          run -= n;
        }
      }
      while (run-- > 0) add(value, 0);
    }
    BuildLengths(frequencies.data(), 19, 7, header.code_bits.data());
    BuildCodes(header.code_bits.data(), 19, header.codes.data());
    header.code_count = 19;
    while (header.code_count > 4 && header.code_bits[kCodeOrder[header.code_count - 1]] == 0)
      --header.code_count;
    header.bits = 5 + 5 + 4 + 3 * header.code_count;
    for (unsigned i = 0; i < header.run_count; ++i) {
      const unsigned symbol = header.runs[i];
      header.bits += header.code_bits[symbol] + (symbol >= 16 ? kRunExtraBits[symbol - 16] : 0);
    }
  }

  void WriteHeader(const DynamicHeader& header) {
    writer_.Put(header.litlen_count - 257, 5);
    writer_.Put(header.distance_count - 1, 5);
    writer_.Put(header.code_count - 4, 4);
    for (unsigned i = 0; i < header.code_count; ++i)
      writer_.Put(header.code_bits[kCodeOrder[i]], 3);
    for (unsigned i = 0; i < header.run_count; ++i) {
      const unsigned symbol = header.runs[i];
      writer_.Put(header.codes[symbol], header.code_bits[symbol]);
      if (symbol >= 16) writer_.Put(header.run_extra[i], kRunExtraBits[symbol - 16]);
    }
  }

  void WriteItems(const uint16_t* litlen_codes, const uint8_t* litlen_bits,
                  const uint16_t* distance_codes, const uint8_t* distance_bits) {
    const Tables& t = SymbolTables();
    for (size_t n = 0; n < item_count_; ++n) {
      const Item item = items_[n];
      if (item.length < 256) {
        writer_.Put(litlen_codes[item.length], litlen_bits[item.length]);
        continue;
      }
      const unsigned length = item.length - 256u;
      const unsigned symbol = t.length_symbol[length];
      const unsigned code = symbol - 257;
      writer_.Put(litlen_codes[symbol] | (length - t.length_base[code]) << litlen_bits[symbol],
                  litlen_bits[symbol] + t.length_extra[code]);
      const uint32_t distance = item.distance + 1u;
      const unsigned d = DistanceSymbol(distance);
      writer_.Put(distance_codes[d], distance_bits[d]);
      writer_.Put(distance - t.distance_base[d], t.distance_extra[d]);
    }
    writer_.Put(litlen_codes[kEndOfBlock], litlen_bits[kEndOfBlock]);
  }

  void WriteStored(const uint8_t* data, size_t size, bool final_block) {
    size_t position = 0;
    do {
      const size_t length = std::min<size_t>(size - position, 65535);
      writer_.Put(final_block && position + length == size ? 1 : 0, 3);
      writer_.Align();
      writer_.PutBytes(StoredLengths(length).data(), 4);
      writer_.PutBytes(data + position, length);
      position += length;
    } while (position < size);
  }

  // Grows the output so that at least more bytes fit after the writer.
  void Reserve(size_t more) {
    const size_t used = static_cast<size_t>(writer_.At() - out_->data());
    if (out_->size() - used >= more + 16) return;
    out_->resize(std::max(out_->size() * 3 / 2, used + more + 64));
    writer_.MoveTo(out_->data() + used);
  }

  void AlignWithEmptyStoredBlock() {
    Reserve(8);
    writer_.Put(0, 3);
    writer_.Align();
    writer_.PutBytes(StoredLengths(0).data(), 4);
  }

  void EmptyEnd(bool last) {
    if (last) {
      writer_.Put(3, 3);  // final fixed block holding only its end code
      writer_.Put(0, 7);
    } else {
      AlignWithEmptyStoredBlock();
    }
    writer_.Align();
    out_->resize(static_cast<size_t>(writer_.At() - out_->data()));
  }

  std::unique_ptr<uint32_t[]> head4_, head3_, chain_;
  std::unique_ptr<Item[]> items_;
  std::vector<uint8_t> joined_;
  LevelParameters params_{};
  std::vector<uint8_t>* out_ = nullptr;
  BitWriter writer_{nullptr};
  const uint8_t* input_ = nullptr;
  size_t begin_ = 0, end_ = 0, inserted_ = 0;
  uint32_t base_ = 0, first_ = 1;
  size_t block_start_ = 0, chunk_start_ = 0, chunk_item_ = 0, item_count_ = 0;
  Histogram block_, chunk_;
  std::array<uint8_t, 256> literal_cost_{};
  std::array<uint8_t, kMaxMatch + 1> length_cost_{};
  std::array<uint8_t, kDistanceSymbols> distance_cost_{};
};

// Idle encoders: setting one up costs more than compressing a small file.
// More than one per thread is never idle at once.
SparePool<std::unique_ptr<Encoder>, 64>& Encoders() {
  static SparePool<std::unique_ptr<Encoder>, 64> encoders;
  return encoders;
}

// One encoder for the length of one call, back to the cache afterwards, also
// when the encoding throws.
class BorrowedEncoder {
 public:
  BorrowedEncoder() : encoder_(Encoders().Take()) {
    if (!encoder_) encoder_ = std::make_unique<Encoder>();
  }
  ~BorrowedEncoder() { Encoders().Give(std::move(encoder_)); }
  BorrowedEncoder(const BorrowedEncoder&) = delete;
  BorrowedEncoder& operator=(const BorrowedEncoder&) = delete;
  Encoder* operator->() { return encoder_.get(); }

 private:
  std::unique_ptr<Encoder> encoder_;
};

// Stored blocks start at a byte boundary here: the stream before them ended
// aligned or is empty. Their 3 header bits share the first byte with the
// padding that follows.
void AppendStoredBlocks(std::span<const uint8_t> data, bool last, std::vector<uint8_t>& out) {
  size_t position = 0;
  do {
    const size_t length = std::min<size_t>(data.size() - position, 65535);
    const bool final_block = last && position + length == data.size();
    out.push_back(final_block ? 0x01 : 0x00);
    const std::array<uint8_t, 4> lengths = StoredLengths(length);
    out.insert(out.end(), lengths.begin(), lengths.end());
    out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(position),
               data.begin() + static_cast<ptrdiff_t>(position + length));
    position += length;
  } while (position < data.size());
}

size_t StoredSize(size_t size) { return size + 5 * std::max<size_t>(1, (size + 65534) / 65535); }

}  // namespace

void DeflatePiece(std::span<const uint8_t> dictionary, std::span<const uint8_t> data, int level,
                  bool last, std::vector<uint8_t>& out) {
  if (dictionary.size() > kDeflateWindow) dictionary = dictionary.last(kDeflateWindow);
  const size_t start = out.size();
  BorrowedEncoder()->Encode(dictionary, data, level, last, out);
  if (out.size() - start <= StoredSize(data.size())) return;
  out.resize(start);
  AppendStoredBlocks(data, last, out);
}

std::vector<uint8_t> DeflateWhole(std::span<const uint8_t> data, int level) {
  std::vector<uint8_t> out;
  BorrowedEncoder()->Encode({}, data, level, true, out);
  return out;
}

}  // namespace cindral::codec
