#include "engine/codec/inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "engine/codec/spare_pool.h"

namespace cindral::codec {
namespace {

// Output is decoded into one flat buffer so that matches never wrap: the window
// (history a match may reach back into) is followed by a chunk of new output,
// and the last window is slid back to the front once the chunk is full.
constexpr size_t kWindowSize = 65536;
constexpr size_t kChunkSize = 256 * 1024;
constexpr size_t kOutputLimit = kWindowSize + kChunkSize;
// A first read at least this large is decoded straight into the caller's
// buffer; smaller ones would spend most of it one symbol at a time near the
// buffer's end.
constexpr size_t kDirectReadMinimum = 4096;
constexpr size_t kInputSize = 65536;
constexpr size_t kInputHistory = 8;

// The fast loop runs while one iteration cannot exhaust input or output: it
// refills the bit buffer at most three times, each an 8-byte load advancing
// at most 7 bytes, and writes at most two literal entries (up to two bytes
// each) and a 258-byte match, whose word-wise copy may run up to
// kMatchOverrun bytes past its end. The output may be the caller's buffer, so
// nothing may be written past its limit.
constexpr size_t kFastInputMargin = 7 + 7 + 8;
constexpr size_t kMatchOverrun = 16;
// A match copy writes at most this far beyond the match's length.
constexpr size_t kCopyReach = 40;
constexpr size_t kFastOutputMargin = 2 * 2 + 258 + kMatchOverrun;
// Zeros after the input once the source has ended, for the fast loops to
// read on into: they stop 8 bytes past the end, and an iteration reads up to
// a margin beyond where it starts.
constexpr size_t kInputPadding = 8 + kFastInputMargin;

// Ten bits: with literal pairs, an eleventh bit adds more to every table
// than the pairs it allows give back (measured on the codec benchmark).
constexpr unsigned kLitlenTableBits = 10;
constexpr unsigned kDistanceTableBits = 8;
constexpr uint32_t kLitlenMask = (uint32_t{1} << kLitlenTableBits) - 1;
constexpr uint32_t kDistanceMask = (uint32_t{1} << kDistanceTableBits) - 1;
// Pairing literals costs about as much as decoding a few kilobytes saves: a
// block in the last 3 KiB of a stream goes without.
constexpr size_t kPairingMinimumInput = 3 * 1024;
constexpr unsigned kCodeLengthTableBits = 7;
constexpr uint32_t kCodeLengthMask = (uint32_t{1} << kCodeLengthTableBits) - 1;
constexpr unsigned kMaxCodeLength = 15;
constexpr unsigned kLitlenSymbols = 288;
constexpr unsigned kDistanceSymbols = 32;
constexpr unsigned kCodeLengthSymbols = 19;
// Each code length takes at most a 7-bit code and 7 extra bits; a refill
// reads 8 bytes ahead.
constexpr size_t kCodeLengthsMaxBytes = (kLitlenSymbols + kDistanceSymbols) * (7 + 7) / 8 + 8;
// A subtable serves the codes sharing one table-sized prefix; the codes are
// distinct symbols, so each symbol adds at most one subtable of at most
// 2^(15 - table bits) entries.
constexpr size_t kLitlenTableSize =
    (size_t{1} << kLitlenTableBits) +
    kLitlenSymbols * (size_t{1} << (kMaxCodeLength - kLitlenTableBits));
constexpr size_t kDistanceTableSize =
    (size_t{1} << kDistanceTableBits) +
    kDistanceSymbols * (size_t{1} << (kMaxCodeLength - kDistanceTableBits));

// Table entry: bits 0-7 the bits the fast path consumes for it (the code
// length, plus the extra bits of a length or distance), bits 8-11 the code
// length (for a subtable link: the subtable's index bits), bits 12-15 flags,
// bits 16-31 the value (literal byte, length or distance base, subtable
// start). Consuming by the whole entry is then one shift by its low byte, which
// x86 shifts mask by themselves, and a subtraction that leaves the low byte of
// the bit count right.
constexpr uint32_t kSubtable = 0x1000;
// Two literals whose codes fit in the main table's bits together: the second
// is bits 24-31, and bits 8-11 are the first code's length alone, so that
// the loop near the output's end can take the first literal alone.
constexpr uint32_t kDoubleLiteral = 0x2000;
// End of block, or with a nonzero value an invalid code.
constexpr uint32_t kSpecial = 0x4000;
constexpr uint32_t kLiteral = 0x8000;

// The entry as the symbol tables give it, before BuildTable adds the code
// length: the low byte holds the extra bits alone.
constexpr uint32_t Entry(uint32_t value, uint32_t extra_bits, uint32_t flags) {
  return value << 16 | flags | extra_bits;
}

constexpr unsigned CodeLength(uint32_t entry) { return (entry >> 8) & 15; }
constexpr bool IsInvalid(uint32_t entry) { return (entry & kSpecial) && (entry >> 16) != 0; }
constexpr uint32_t kEndOfBlockEntry = Entry(0, 0, kSpecial);
constexpr uint32_t kInvalidEntry = Entry(1, 0, kSpecial);

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[32] = {1,    2,    3,    4,     5,     7,     9,     13,
                                        17,   25,   33,   49,    65,    97,    129,   193,
                                        257,  385,  513,  769,   1025,  1537,  2049,  3073,
                                        4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t kDistanceExtra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                        7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr uint8_t kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

using LitlenEntries = std::array<uint32_t, kLitlenSymbols>;
using DistanceEntries = std::array<uint32_t, kDistanceSymbols>;

constexpr LitlenEntries MakeLitlenEntries(DeflateVariant variant) {
  LitlenEntries entries{};
  for (uint32_t symbol = 0; symbol < 256; ++symbol) entries[symbol] = Entry(symbol, 0, kLiteral);
  entries[256] = kEndOfBlockEntry;
  for (uint32_t code = 0; code < 29; ++code)
    entries[257 + code] = Entry(kLengthBase[code], kLengthExtra[code], 0);
  if (variant == DeflateVariant::kDeflate64) entries[285] = Entry(3, 16, 0);
  entries[286] = entries[287] = kInvalidEntry;
  return entries;
}

constexpr DistanceEntries MakeDistanceEntries(DeflateVariant variant) {
  DistanceEntries entries{};
  const uint32_t codes = variant == DeflateVariant::kDeflate64 ? 32 : 30;
  for (uint32_t code = 0; code < 32; ++code)
    entries[code] =
        code < codes ? Entry(kDistanceBase[code], kDistanceExtra[code], 0) : kInvalidEntry;
  return entries;
}

constexpr LitlenEntries kDeflateLitlen = MakeLitlenEntries(DeflateVariant::kDeflate);
constexpr LitlenEntries kDeflate64Litlen = MakeLitlenEntries(DeflateVariant::kDeflate64);
constexpr DistanceEntries kDeflateDistance = MakeDistanceEntries(DeflateVariant::kDeflate);
constexpr DistanceEntries kDeflate64Distance = MakeDistanceEntries(DeflateVariant::kDeflate64);

constexpr std::array<uint32_t, kCodeLengthSymbols> MakeCodeLengthEntries() {
  std::array<uint32_t, kCodeLengthSymbols> entries{};
  for (uint32_t symbol = 0; symbol < kCodeLengthSymbols; ++symbol)
    entries[symbol] = Entry(symbol, 0, kLiteral);
  return entries;
}
constexpr std::array<uint32_t, kCodeLengthSymbols> kCodeLengthEntries = MakeCodeLengthEntries();

constexpr std::array<uint8_t, 256> MakeReversedBytes() {
  std::array<uint8_t, 256> reversed{};
  for (unsigned byte = 0; byte < 256; ++byte)
    for (unsigned bit = 0; bit < 8; ++bit) reversed[byte] |= ((byte >> bit) & 1) << (7 - bit);
  return reversed;
}
constexpr std::array<uint8_t, 256> kReversedBytes = MakeReversedBytes();

enum class Incomplete { kRejected, kSingleCodeAllowed };

// Builds a lookup table indexed by the next table_bits input bits (the code's
// bits arrive first-bit-lowest, so indices are bit-reversed codes). Longer
// codes go to subtables linked from the main table. Accepts the code sets
// zlib accepts in a stream that can be valid: complete ones, an empty
// distance code, and (for literal/length and distance codes) a single code of
// length 1.
void BuildTable(const uint8_t* lengths, unsigned count, const uint32_t* entries,
                unsigned table_bits, Incomplete incomplete, uint32_t* table) {
  // Four partial counts: one would make each increment wait for the last.
  unsigned partial_count[4][kMaxCodeLength + 1] = {};
  unsigned symbol = 0;
  for (; symbol + 4 <= count; symbol += 4)
    for (unsigned lane = 0; lane < 4; ++lane) ++partial_count[lane][lengths[symbol + lane]];
  for (; symbol < count; ++symbol) ++partial_count[0][lengths[symbol]];
  unsigned length_count[kMaxCodeLength + 1];
  for (unsigned length = 0; length <= kMaxCodeLength; ++length)
    length_count[length] = partial_count[0][length] + partial_count[1][length] +
                           partial_count[2][length] + partial_count[3][length];
  length_count[0] = 0;

  int left = 1;
  unsigned max_length = 0;
  for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
    left = 2 * left - static_cast<int>(length_count[length]);
    if (left < 0) throw DataError("over-subscribed Huffman code");
    if (length_count[length] != 0) max_length = length;
  }
  const size_t main_size = size_t{1} << table_bits;
  if (left > 0) {
    if (incomplete == Incomplete::kRejected || max_length > 1)
      throw DataError("incomplete Huffman code");
    // The only such set has at most one code of length 1: its other half
    // stays invalid.
    table[0] = table[1] = kInvalidEntry + (1 << 8) + 1;
    if (max_length == 0) {
      std::fill(table, table + main_size, table[0]);
      return;
    }
  }

  unsigned offsets[kMaxCodeLength + 2] = {};
  for (unsigned length = 1; length <= kMaxCodeLength; ++length)
    offsets[length + 1] = offsets[length] + length_count[length];
  const unsigned used = offsets[kMaxCodeLength + 1];
  uint16_t sorted[kLitlenSymbols];
  for (unsigned symbol = 0; symbol < count; ++symbol)
    if (lengths[symbol] != 0) sorted[offsets[lengths[symbol]]++] = static_cast<uint16_t>(symbol);

  // Canonical codes in (length, symbol) order, stored bit-reversed.
  uint16_t reversed[kLitlenSymbols];
  uint32_t code = 0;
  unsigned previous_length = 0;
  for (unsigned i = 0; i < used; ++i) {
    const unsigned length = lengths[sorted[i]];
    code <<= length - previous_length;
    previous_length = length;
    reversed[i] = static_cast<uint16_t>(
        (kReversedBytes[code & 0xff] << 8 | kReversedBytes[code >> 8]) >> (16 - length));
    ++code;
  }

  // The main table grows by doubling: once all codes up to some length are in
  // place, a copy of the table's first half serves as its second half, and
  // the slots left over are exactly those of the longer codes.
  unsigned i = 0;
  for (unsigned length = 1; length <= table_bits; ++length) {
    const size_t size = size_t{1} << length;
    if (length > 1) std::memcpy(table + size / 2, table, size / 2 * sizeof *table);
    for (; i < used && lengths[sorted[i]] == length; ++i)
      table[reversed[i]] = entries[sorted[i]] + (length << 8) + length;
  }

  // Codes sharing a prefix are consecutive in canonical order, and the last
  // of them is the longest, which sets the subtable's size.
  const uint32_t prefix_mask = static_cast<uint32_t>(main_size - 1);
  size_t next_subtable = main_size;
  while (i < used) {
    const uint32_t prefix = reversed[i] & prefix_mask;
    unsigned end = i + 1;
    while (end < used && (reversed[end] & prefix_mask) == prefix) ++end;
    const unsigned sub_bits = lengths[sorted[end - 1]] - table_bits;
    const size_t sub_size = size_t{1} << sub_bits;
    table[prefix] = Entry(static_cast<uint32_t>(next_subtable), 0, kSubtable) | sub_bits << 8;
    for (; i < end; ++i) {
      const unsigned length = lengths[sorted[i]];
      const uint32_t entry = entries[sorted[i]] + (length << 8) + length;
      for (size_t index = reversed[i] >> table_bits; index < sub_size;
           index += size_t{1} << (length - table_bits))
        table[next_subtable + index] = entry;
    }
    next_subtable += sub_size;
  }
}

// Joins each main-table literal with the literal that its leftover index bits
// decode, where that code is short enough to be known from them: a literal
// run then takes half the lookups. Descending order reads each second literal
// before its own slot becomes a pair; the choice is a select, not a branch,
// since it follows the data.
void PairLiterals(uint32_t* table, unsigned table_bits) {
  for (size_t index = size_t{1} << table_bits; index-- > 0;) {
    const uint32_t first = table[index];
    const uint32_t second = table[index >> CodeLength(first)];
    const uint32_t pair = first + (second >> 16 << 24) + (second & 0xff) + kDoubleLiteral;
    const bool fits = (first & second & kLiteral) && (first & 0xff) + (second & 0xff) <= table_bits;
    table[index] = fits ? pair : first;
  }
}

// Follows a main-table entry to its subtable entry for a long code.
inline uint32_t Resolve(const uint32_t* table, unsigned table_bits, uint32_t entry, uint64_t bits) {
  if (entry & kSubtable)
    entry =
        table[(entry >> 16) + ((bits >> table_bits) & ((uint32_t{1} << CodeLength(entry)) - 1))];
  return entry;
}

inline uint32_t Lookup(const uint32_t* table, unsigned table_bits, uint64_t bits) {
  return Resolve(table, table_bits, table[bits & ((uint32_t{1} << table_bits) - 1)], bits);
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, 8);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

inline void Store64(uint8_t* p, uint64_t value) { std::memcpy(p, &value, 8); }

inline void Copy64(uint8_t* to, const uint8_t* from) { std::memcpy(to, from, 8); }

// Stores a literal entry's one or two bytes without a branch; a single
// literal writes a byte past itself, which the next output overwrites.
inline uint8_t* PutLiterals(uint8_t* out, uint32_t entry) {
  const uint16_t bytes = static_cast<uint16_t>(entry >> 16);
  std::memcpy(out, &bytes, 2);
  return out + 1 + ((entry / kDoubleLiteral) & 1);
}

// Copies a match in 8-byte words, writing up to kMatchOverrun bytes past its
// end, or up to kCopyReach bytes from its start. Each word is read only after the bytes it overlaps
// were written, which holds for distances of 8 and more. Shorter distances repeat a pattern whose
// period divides the distance, so once a few bytes are copied one by one, a multiple of the
// distance of at least 8 serves as well. Most matches are short: the first words go without a
// length test, so the copy costs no mispredicted branch.
inline void CopyMatch(uint8_t* to, size_t distance, size_t length) {
  uint8_t* const end = to + length;
  if (distance < 8) [[unlikely]] {
    if (distance == 1) {
      const uint64_t pattern = uint64_t{to[-1]} * 0x0101010101010101u;
      do {
        Store64(to, pattern);
        Store64(to + 8, pattern);
        to += 16;
      } while (to < end);
      return;
    }
    // The smallest multiple of the distance that is at least 8.
    static constexpr uint8_t kStep[8] = {0, 8, 8, 9, 8, 10, 12, 14};
    const size_t step = kStep[distance];
    for (const uint8_t* stop = to + (step - distance); to < stop; ++to) *to = *(to - distance);
    if (to >= end) return;
    distance = step;
  }
  const uint8_t* from = to - distance;
  Copy64(to, from);
  Copy64(to + 8, from + 8);
  Copy64(to + 16, from + 16);
  Copy64(to + 24, from + 24);
  Copy64(to + 32, from + 32);
  static_assert(kCopyReach == 5 * 8);
  if (to + kCopyReach >= end) return;
  to += kCopyReach;
  from += kCopyReach;
  do {
    Copy64(to, from);
    Copy64(to + 8, from + 8);
    to += 16;
    from += 16;
  } while (to < end);
}

}  // namespace

// The fast loops' bit reader. It never checks the input: the loops run only
// while an iteration cannot read past the buffer, whose last kInputPadding
// bytes are zeros once the source has ended.
struct FastBits {
  uint64_t bits;
  // Only the low byte is the count: consuming subtracts whole entries, whose
  // higher bits land above it.
  uint32_t count;
  const uint8_t* in;

  void Refill() {
    bits |= Load64(in) << (count & 63);
    in += 7 - ((count >> 3) & 7);
    count |= 56;
  }
  void Consume(uint32_t entry) {
    bits >>= entry & 63;
    count -= entry;
  }
  // The extra bits sit above the code: take code and extra bits together,
  // then drop the code.
  uint32_t Value(uint32_t entry) const {
    return (entry >> 16) +
           static_cast<uint32_t>((bits & ~(~uint64_t{0} << (entry & 63))) >> ((entry >> 8) & 15));
  }
  uint32_t Take(unsigned count) {
    const uint32_t value = static_cast<uint32_t>(bits & ((uint32_t{1} << count) - 1));
    bits >>= count;
    this->count -= count;
    return value;
  }
  // Bits consumed since begin, the start of the input buffer.
  size_t Position(const uint8_t* begin) const {
    return static_cast<size_t>(in - begin) * 8 - (count & 0xff);
  }
};

namespace {

// One decoder's buffers. Their contents never carry over: input is read
// afresh, tables are rebuilt for every block and a match may not reach back
// before the stream's first byte.
struct BufferSet {
  std::unique_ptr<uint8_t[]> in;
  std::unique_ptr<uint32_t[]> litlen_table;
  std::unique_ptr<uint32_t[]> distance_table;
  std::unique_ptr<uint8_t[]> out;
};

// Buffers of finished decoders, kept for the next ones: a ZIP of many small
// entries makes a decoder per entry, and under Wine every fresh 64 KiB block
// costs a commit and a release of memory, more than decoding a small entry.
// Eight are enough for every thread of a pool to finish one entry while the
// next starts; more would only hold memory.
SparePool<BufferSet, 8>& Buffers() {
  static SparePool<BufferSet, 8> buffers;
  return buffers;
}

}  // namespace

InflateDecoder::InflateDecoder(InStream& source, DeflateVariant variant)
    : source_(source), variant_(variant) {
  BufferSet set = Buffers().Take();
  if (!set.in) {
    set.in.reset(new uint8_t[kInputSize + kInputPadding]);
    set.litlen_table.reset(new uint32_t[kLitlenTableSize]);
    set.distance_table.reset(new uint32_t[kDistanceTableSize]);
  }
  in_ = std::move(set.in);
  litlen_table_ = std::move(set.litlen_table);
  distance_table_ = std::move(set.distance_table);
  out_ = std::move(set.out);
}

InflateDecoder::~InflateDecoder() {
  Buffers().Give(
      {std::move(in_), std::move(litlen_table_), std::move(distance_table_), std::move(out_)});
}

size_t InflateDecoder::Read(uint8_t* data, size_t size) {
  if (out_base_ == nullptr) {
    if (state_ == State::kDone) return 0;
    if (size >= kDirectReadMinimum) return ReadDirect(data, size);
    UseOwnBuffer(nullptr, 0);
  }
  size_t done = 0;
  while (done < size) {
    if (read_pos_ == out_pos_) {
      if (state_ == State::kDone) break;
      Decode();
      continue;
    }
    const size_t count = std::min(size - done, out_pos_ - read_pos_);
    std::memcpy(data + done, out_base_ + read_pos_, count);
    read_pos_ += count;
    done += count;
  }
  return done;
}

// Most streams in an archive are short: decoding the first read in place
// saves copying them, and the own buffer is made only for a stream that goes
// on beyond it, with the last window of what was decoded.
size_t InflateDecoder::ReadDirect(uint8_t* data, size_t size) {
  out_base_ = data;
  out_limit_ = size;
  try {
    Decode();
  } catch (...) {
    out_base_ = nullptr;
    out_pos_ = 0;
    throw;
  }
  const size_t decoded = out_pos_;
  if (state_ == State::kDone) {
    out_base_ = nullptr;
    out_pos_ = 0;
  } else {
    UseOwnBuffer(data, decoded);
  }
  return decoded;
}

void InflateDecoder::UseOwnBuffer(const uint8_t* history, size_t size) {
  if (!out_) out_.reset(new uint8_t[kOutputLimit]);
  const size_t keep = std::min(size, kWindowSize);
  if (keep != 0) std::memcpy(out_.get(), history + size - keep, keep);
  out_base_ = out_.get();
  out_limit_ = kOutputLimit;
  out_pos_ = read_pos_ = keep;
}

void InflateDecoder::Decode() {
  if (state_ == State::kFailed) throw DataError("invalid deflate stream");
  if (out_pos_ == out_limit_) {
    std::memmove(out_.get(), out_.get() + kOutputLimit - kWindowSize, kWindowSize);
    out_pos_ = read_pos_ = kWindowSize;
  }
  try {
    while (out_pos_ < out_limit_ && state_ != State::kDone) {
      switch (state_) {
        case State::kBlockHeader:
          ReadBlockHeader();
          break;
        case State::kStored:
          CopyStored();
          break;
        case State::kHuffman:
          DecodeHuffman();
          break;
        case State::kDone:
        case State::kFailed:
          break;
      }
    }
  } catch (...) {
    state_ = State::kFailed;
    throw;
  }
}

void InflateDecoder::ReadBlockHeader() {
  const uint32_t header = ReadBits(3);
  final_block_ = header & 1;
  switch (header >> 1) {
    case 0: {
      DropToByteBoundary();
      uint32_t lengths = 0;
      for (unsigned i = 0; i < 4; ++i) lengths |= uint32_t{ReadAlignedByte()} << (8 * i);
      if ((lengths & 0xffff) != (~lengths >> 16)) throw DataError("stored block length mismatch");
      stored_remaining_ = lengths & 0xffff;
      state_ = State::kStored;
      if (stored_remaining_ == 0) EndBlock();
      return;
    }
    case 1:
      UseFixedTables();
      break;
    case 2:
      ReadDynamicTables();
      break;
    default:
      throw DataError("invalid deflate block type");
  }
  state_ = State::kHuffman;
}

void InflateDecoder::UseFixedTables() {
  if (fixed_tables_built_) return;
  uint8_t lengths[kLitlenSymbols + kDistanceSymbols];
  std::fill(lengths, lengths + 144, 8);
  std::fill(lengths + 144, lengths + 256, 9);
  std::fill(lengths + 256, lengths + 280, 7);
  std::fill(lengths + 280, lengths + 288, 8);
  std::fill(lengths + 288, lengths + 320, 5);
  const bool is64 = variant_ == DeflateVariant::kDeflate64;
  BuildTable(lengths, kLitlenSymbols, (is64 ? kDeflate64Litlen : kDeflateLitlen).data(),
             kLitlenTableBits, Incomplete::kRejected, litlen_table_.get());
  // No pairs: fixed literal codes are 8 or 9 bits long.
  BuildTable(lengths + kLitlenSymbols, kDistanceSymbols,
             (is64 ? kDeflate64Distance : kDeflateDistance).data(), kDistanceTableBits,
             Incomplete::kRejected, distance_table_.get());
  fixed_tables_built_ = true;
}

void InflateDecoder::ReadDynamicTables() {
  fixed_tables_built_ = false;
  const unsigned litlen_count = ReadBits(5) + 257;
  const unsigned distance_count = ReadBits(5) + 1;
  const unsigned code_length_count = ReadBits(4) + 4;
  const bool is64 = variant_ == DeflateVariant::kDeflate64;
  if (litlen_count > 286 || distance_count > (is64 ? 32u : 30u))
    throw DataError("too many length or distance codes");

  uint8_t code_length_lengths[kCodeLengthSymbols] = {};
  for (unsigned i = 0; i < code_length_count; ++i)
    code_length_lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(ReadBits(3));
  uint32_t code_length_table[1 << kCodeLengthTableBits];
  BuildTable(code_length_lengths, kCodeLengthSymbols, kCodeLengthEntries.data(),
             kCodeLengthTableBits, Incomplete::kRejected, code_length_table);

  // Literal/length and distance code lengths form one sequence: a repeat may
  // run from one into the other.
  uint8_t lengths[kLitlenSymbols + kDistanceSymbols];
  const unsigned total = litlen_count + distance_count;
  unsigned filled = 0;
  const auto put = [&](uint32_t symbol, auto&& read_bits) {
    if (symbol < 16) {
      lengths[filled++] = static_cast<uint8_t>(symbol);
      return;
    }
    static constexpr uint8_t kRepeatBase[3] = {3, 3, 11};
    static constexpr uint8_t kRepeatExtraBits[3] = {2, 3, 7};
    uint8_t value = 0;
    if (symbol == 16) {
      if (filled == 0) throw DataError("code length repeat without a previous length");
      value = lengths[filled - 1];
    }
    const unsigned repeat = kRepeatBase[symbol - 16] + read_bits(kRepeatExtraBits[symbol - 16]);
    if (repeat > total - filled) throw DataError("code length repeat beyond the code count");
    std::fill(lengths + filled, lengths + filled + repeat, value);
    filled += repeat;
  };
  // Every code length lies within the next kCodeLengthsMaxBytes: when the
  // input holds that much, they are read without a check per symbol (a short
  // stream has as many code lengths as it has symbols).
  if (in_end_ - in_pos_ >= kCodeLengthsMaxBytes) {
    FastBits reader = BeginFast();
    while (filled < total) {
      reader.Refill();
      const uint32_t entry = code_length_table[reader.bits & kCodeLengthMask];
      reader.Consume(entry);
      put(entry >> 16, [&reader](unsigned count) { return reader.Take(count); });
    }
    EndFast(reader, out_base_ + out_pos_);
  }
  while (filled < total)
    put(DecodeSymbol(code_length_table, kCodeLengthTableBits) >> 16,
        [this](unsigned count) { return ReadBits(count); });
  if (lengths[256] == 0) throw DataError("missing end-of-block code");

  BuildTable(lengths, litlen_count, (is64 ? kDeflate64Litlen : kDeflateLitlen).data(),
             kLitlenTableBits, Incomplete::kSingleCodeAllowed, litlen_table_.get());
  if (!source_ended_ || in_end_ - in_pos_ >= kPairingMinimumInput)
    PairLiterals(litlen_table_.get(), kLitlenTableBits);
  BuildTable(lengths + litlen_count, distance_count,
             (is64 ? kDeflate64Distance : kDeflateDistance).data(), kDistanceTableBits,
             Incomplete::kSingleCodeAllowed, distance_table_.get());
}

void InflateDecoder::CopyStored() {
  while (stored_remaining_ != 0 && out_pos_ < out_limit_) {
    if (in_pos_ == in_end_ && !FillInput()) throw UnexpectedEnd("deflate stream truncated");
    const size_t count =
        std::min({size_t{stored_remaining_}, in_end_ - in_pos_, out_limit_ - out_pos_});
    std::memcpy(out_base_ + out_pos_, in_.get() + in_pos_, count);
    in_pos_ += count;
    out_pos_ += count;
    stored_remaining_ -= static_cast<uint32_t>(count);
  }
  if (stored_remaining_ == 0) EndBlock();
}

void InflateDecoder::DecodeHuffman() {
  for (;;) {
    if (pending_length_ != 0 && !CopyPendingMatch()) return;
    if (out_pos_ >= out_limit_) return;
    // Sources fill the whole buffer until they end, so after this the input
    // holds more than a margin, or the zeros after its end stand in for it.
    if (in_end_ - in_pos_ <= kFastInputMargin) FillInput();
    bool block_ended;
    if (out_limit_ - out_pos_ <= kFastOutputMargin)
      block_ended = DecodeNearOutputEnd();
    else if (variant_ == DeflateVariant::kDeflate64)
      block_ended = DecodeFastOnThisCpu<DeflateVariant::kDeflate64>();
    else
      block_ended = DecodeFastOnThisCpu<DeflateVariant::kDeflate>();
    if (block_ended) return;
  }
}

// Once the source has ended, the fast loops may read on into the zeros that
// follow the input; they stop a word's worth beyond its end, so that only a
// stream cut short gets there, and EndFast tells the two apart.
size_t InflateDecoder::FastInputEnd() const {
  return source_ended_ ? in_end_ + 8 : in_end_ - std::min(in_end_, kFastInputMargin);
}

FastBits InflateDecoder::BeginFast() const {
  return {bit_buffer_, bit_count_, in_.get() + in_pos_};
}

// The reader goes by value, so that the loops can keep it in registers.
// Bits read past the input's end are zeros, not data: a stream that used any
// of them is truncated, and unused ones are given back.
void InflateDecoder::EndFast(FastBits reader, const uint8_t* out) {
  if (reader.Position(in_.get()) > in_end_ * 8) throw UnexpectedEnd("deflate stream truncated");
  const size_t in_index = static_cast<size_t>(reader.in - in_.get());
  const size_t overread = in_index - std::min(in_index, in_end_);
  bit_buffer_ = reader.bits;
  bit_count_ = (reader.count & 0xff) - static_cast<unsigned>(overread * 8);
  in_pos_ = in_index - overread;
  out_pos_ = static_cast<size_t>(out - out_base_);
}

// A code that does not decode is a broken stream, unless it was read from
// the zeros past the input's end.
void InflateDecoder::FailFast(FastBits reader, unsigned code_bits, const char* what) const {
  if (reader.Position(in_.get()) + code_bits > in_end_ * 8)
    throw UnexpectedEnd("deflate stream truncated");
  throw DataError(what);
}

// The hot loop: no input or output checks per symbol, since the margins
// guarantee room for the longest symbol; only Deflate64's long matches can
// exceed the output margin, and they are left pending.
// Instantiated per variant so that plain Deflate does without that check,
// and inlined into one function per instruction set.
template <DeflateVariant kVariant>
[[gnu::always_inline]] inline bool InflateDecoder::DecodeFast() {
  FastBits reader = BeginFast();
  const uint8_t* const in_fast_end = in_.get() + FastInputEnd();
  uint8_t* const out_begin = out_base_;
  uint8_t* out = out_begin + out_pos_;
  uint8_t* const out_limit = out_begin + out_limit_;
  uint8_t* const out_fast_end = out_limit - kFastOutputMargin;
  const uint32_t* const litlen = litlen_table_.get();
  const uint32_t* const distances = distance_table_.get();
  bool block_ended = false;

  // After a refill at least 56 bits are there: three literal codes, or a
  // literal/length code with its extra bits after up to two literals. A
  // refill leaves the low bits as they are, and the bits above the count are
  // the true next ones, so the next symbol's main-table entry is loaded early,
  // before the refill and the match copy, to hide the load's latency.
  reader.Refill();
  uint32_t next_entry = litlen[reader.bits & kLitlenMask];
  while (reader.in < in_fast_end && out < out_fast_end) {
    reader.Refill();
    uint32_t entry = Resolve(litlen, kLitlenTableBits, next_entry, reader.bits);
    if (entry & kLiteral) {
      reader.Consume(entry);
      out = PutLiterals(out, entry);
      entry = Lookup(litlen, kLitlenTableBits, reader.bits);
      if (entry & kLiteral) {
        reader.Consume(entry);
        out = PutLiterals(out, entry);
        entry = Lookup(litlen, kLitlenTableBits, reader.bits);
        if (entry & kLiteral) {
          reader.Consume(entry);
          out = PutLiterals(out, entry);
          next_entry = litlen[reader.bits & kLitlenMask];
          continue;
        }
        reader.Refill();
      }
    }
    if (entry & kSpecial) {
      if (IsInvalid(entry)) FailFast(reader, CodeLength(entry), "invalid literal/length code");
      reader.Consume(entry);
      block_ended = true;
      break;
    }
    const uint32_t length = reader.Value(entry);
    reader.Consume(entry);

    // At most 46 bits went since the last refill, so the distance code's
    // main-table bits are already true ones.
    entry = distances[reader.bits & kDistanceMask];
    reader.Refill();
    entry = Resolve(distances, kDistanceTableBits, entry, reader.bits);
    if (entry & kSpecial) FailFast(reader, CodeLength(entry), "invalid distance code");
    const uint32_t distance = reader.Value(entry);
    reader.Consume(entry);
    next_entry = litlen[reader.bits & kLitlenMask];
    if (distance > static_cast<size_t>(out - out_begin))
      FailFast(reader, 0, "distance beyond the start of the data");
    if (kVariant == DeflateVariant::kDeflate64 &&
        length > static_cast<size_t>(out_limit - out) - kMatchOverrun) {
      pending_length_ = length;
      pending_distance_ = distance;
      break;
    }

    CopyMatch(out, distance, length);
    out += length;
  }

  EndFast(reader, out);
  if (block_ended) EndBlock();
  return block_ended;
}

// Variable shifts and bit masks are the hot loop's critical path; x86
// processors with BMI2 do them in one instruction without the shift count in
// CL. The shipped build targets plain x86-64, so the choice is made at run time.
#if defined(__x86_64__) || defined(__i386__)
namespace {
const bool kCpuHasBmi2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi2") != 0;
}();
}  // namespace

template <DeflateVariant kVariant>
[[gnu::target("bmi2")]] bool InflateDecoder::DecodeFastWithBmi2() {
  return DecodeFast<kVariant>();
}

template <DeflateVariant kVariant>
bool InflateDecoder::DecodeFastOnThisCpu() {
  return kCpuHasBmi2 ? DecodeFastWithBmi2<kVariant>() : DecodeFast<kVariant>();
}
#else
template <DeflateVariant kVariant>
bool InflateDecoder::DecodeFastOnThisCpu() {
  return DecodeFast<kVariant>();
}
#endif

// The fast loop's input shortcuts with exact output checks, one symbol at a
// time, for the last bytes of a buffer that allows no overrun: every short
// stream read in place ends here.
bool InflateDecoder::DecodeNearOutputEnd() {
  FastBits reader = BeginFast();
  const uint8_t* const in_fast_end = in_.get() + FastInputEnd();
  uint8_t* const out_begin = out_base_;
  uint8_t* out = out_begin + out_pos_;
  uint8_t* const out_limit = out_begin + out_limit_;
  const uint32_t* const litlen = litlen_table_.get();
  const uint32_t* const distances = distance_table_.get();
  bool block_ended = false;
  while (reader.in < in_fast_end && out < out_limit) {
    reader.Refill();
    uint32_t entry = Lookup(litlen, kLitlenTableBits, reader.bits);
    if (entry & kLiteral) {
      // Only the first of two literals: the second may not fit.
      reader.Consume(CodeLength(entry));
      *out++ = static_cast<uint8_t>(entry >> 16);
      continue;
    }
    if (entry & kSpecial) {
      if (IsInvalid(entry)) FailFast(reader, CodeLength(entry), "invalid literal/length code");
      reader.Consume(entry);
      block_ended = true;
      break;
    }
    const uint32_t length = reader.Value(entry);
    reader.Consume(entry);
    reader.Refill();
    entry = Lookup(distances, kDistanceTableBits, reader.bits);
    if (entry & kSpecial) FailFast(reader, CodeLength(entry), "invalid distance code");
    const uint32_t distance = reader.Value(entry);
    reader.Consume(entry);
    if (distance > static_cast<size_t>(out - out_begin))
      FailFast(reader, 0, "distance beyond the start of the data");
    const size_t room = static_cast<size_t>(out_limit - out);
    if (length > room) {
      pending_length_ = length;
      pending_distance_ = distance;
      break;
    }
    if (room - length >= kCopyReach) {
      CopyMatch(out, distance, length);
      out += length;
      continue;
    }
    for (const uint8_t* const end = out + length; out < end; ++out) *out = *(out - distance);
  }
  EndFast(reader, out);
  if (block_ended) EndBlock();
  return block_ended;
}

bool InflateDecoder::CopyPendingMatch() {
  const size_t count = std::min(size_t{pending_length_}, out_limit_ - out_pos_);
  uint8_t* to = out_base_ + out_pos_;
  const uint8_t* from = to - pending_distance_;
  for (size_t i = 0; i < count; ++i) to[i] = from[i];
  out_pos_ += count;
  pending_length_ -= static_cast<uint32_t>(count);
  return pending_length_ == 0;
}

void InflateDecoder::EndBlock() {
  if (!final_block_) {
    state_ = State::kBlockHeader;
    return;
  }
  DropToByteBoundary();
  input_consumed_ = source_bytes_read_ - (in_end_ - in_pos_);
  state_ = State::kDone;
}

bool InflateDecoder::FillInput() {
  if (source_ended_) return false;
  const size_t keep_from = in_pos_ > kInputHistory ? in_pos_ - kInputHistory : 0;
  std::memmove(in_.get(), in_.get() + keep_from, in_end_ - keep_from);
  in_pos_ -= keep_from;
  in_end_ -= keep_from;
  const size_t want = kInputSize - in_end_;
  const size_t got = source_.Read(in_.get() + in_end_, want);
  in_end_ += got;
  if (got < want) {
    source_ended_ = true;
    std::memset(in_.get() + in_end_, 0, kInputPadding);
  }
  source_bytes_read_ += got;
  return got != 0;
}

void InflateDecoder::RefillBits() {
  // Block headers and code lengths are read through here; a word load keeps
  // that cheap for the many small streams of an archive.
  if (in_end_ - in_pos_ >= 8) {
    bit_buffer_ |= Load64(in_.get() + in_pos_) << bit_count_;
    in_pos_ += (63 - bit_count_) >> 3;
    bit_count_ |= 56;
    return;
  }
  while (bit_count_ <= 56) {
    if (in_pos_ == in_end_ && !FillInput()) return;
    bit_buffer_ |= uint64_t{in_[in_pos_++]} << bit_count_;
    bit_count_ += 8;
  }
}

uint32_t InflateDecoder::ReadBits(unsigned count) {
  if (bit_count_ < count) {
    RefillBits();
    if (bit_count_ < count) throw UnexpectedEnd("deflate stream truncated");
  }
  const uint32_t value = static_cast<uint32_t>(bit_buffer_ & ((uint64_t{1} << count) - 1));
  bit_buffer_ >>= count;
  bit_count_ -= count;
  return value;
}

// A code may be shorter than the bits the table looks at, so running out of
// input is an error only if the code found is longer than what is left.
uint32_t InflateDecoder::DecodeSymbol(const uint32_t* table, unsigned table_bits) {
  if (bit_count_ < kMaxCodeLength) RefillBits();
  const uint32_t entry = Lookup(table, table_bits, bit_buffer_);
  const unsigned length = CodeLength(entry);
  if (length > bit_count_) throw UnexpectedEnd("deflate stream truncated");
  if (IsInvalid(entry)) throw DataError("invalid Huffman code");
  bit_buffer_ >>= length;
  bit_count_ -= length;
  return entry;
}

// Whole bytes still in the bit buffer go back to the input, whose history
// keeps them, so byte-aligned reads continue straight from the input buffer.
void InflateDecoder::DropToByteBoundary() {
  in_pos_ -= bit_count_ >> 3;
  bit_buffer_ = 0;
  bit_count_ = 0;
}

uint8_t InflateDecoder::ReadAlignedByte() {
  if (in_pos_ == in_end_ && !FillInput()) throw UnexpectedEnd("deflate stream truncated");
  return in_[in_pos_++];
}

}  // namespace cindral::codec
