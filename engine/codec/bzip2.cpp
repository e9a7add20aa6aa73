#include "engine/codec/bzip2.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace cindral::codec {
namespace {

constexpr uint64_t kBlockMagic = 0x314159265359;
constexpr uint64_t kEndMagic = 0x177245385090;
constexpr unsigned kMaxCodeLength = 20;
constexpr unsigned kMaxAlphabet = 258;
constexpr unsigned kMaxGroups = 6;
constexpr unsigned kGroupSize = 50;
// Writers may declare up to 32767 selectors; only this many can ever be used
// by a 900k block, the rest are read and dropped.
constexpr unsigned kMaxSelectors = 18002;
constexpr unsigned kFastBits = 10;

// The CRC of bzip2 is CRC-32 fed most significant bit first.
struct CrcTables {
  uint32_t t[8][256];
  CrcTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
      for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  }
};

const CrcTables& Crc() {
  static const CrcTables tables;
  return tables;
}

uint32_t UpdateCrc(uint32_t crc, const uint8_t* p, size_t n) {
  const auto& t = Crc().t;
  for (; n >= 8; n -= 8, p += 8) {
    crc ^= uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xff] ^ t[5][(crc >> 8) & 0xff] ^ t[4][crc & 0xff] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; n != 0; --n, ++p) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p];
  return crc;
}

// Canonical Huffman code of one coding group: a direct table for short codes,
// a walk over the code lengths for the rare long ones.
struct HuffmanTable {
  // Entry: symbol | length << 9; 0 marks a bit pattern no code starts with.
  uint16_t fast[1u << kFastBits];
  uint32_t first[kMaxCodeLength + 2];
  uint16_t count[kMaxCodeLength + 1];
  uint16_t offset[kMaxCodeLength + 1];
  uint16_t sorted[kMaxAlphabet];
  unsigned max_length;
};

}  // namespace

class Bzip2Decoder::BitReader {
 public:
  explicit BitReader(InStream& source) : source_(source), buffer_(kBufferSize) {}

  // Keeps at least 57 bits in the buffer; past the end of the source it feeds
  // zero bytes and counts them, so decoding runs on and Overrun tells.
  void Refill() {
    if (count_ > 56) return;
    if (end_ - next_ >= 8) {
      uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v = v << 8 | next_[i];
      bits_ |= v >> count_;
      next_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    SlowRefill();
  }
  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(bits_ >> (64 - n)); }
  void Skip(unsigned n) {
    bits_ <<= n;
    count_ -= n;
  }
  uint32_t Get(unsigned n) {
    Refill();
    const uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  // Sets bad instead of throwing to keep the caller's loop tight.
  unsigned DecodeSymbol(const HuffmanTable& table, bool& bad) {
    Refill();
    const uint16_t entry = table.fast[Peek(kFastBits)];
    if (entry != 0) {
      Skip(entry >> 9);
      return entry & 0x1ff;
    }
    for (unsigned len = kFastBits + 1; len <= table.max_length; ++len) {
      const uint32_t code = Peek(len) - table.first[len];
      if (code < table.count[len]) {
        Skip(len);
        return table.sorted[table.offset[len] + code];
      }
    }
    bad = true;
    return 0;
  }
  void AlignToByte() { Skip(count_ & 7); }
  bool Overrun() const {
    return int64_t{count_} + 8 * int64_t(end_ - next_) < 8 * int64_t(padding_);
  }
  // True when no byte of the source is left; call at a byte boundary.
  bool AtEnd() {
    Refill();
    return int64_t{count_} + 8 * int64_t(end_ - next_) == 8 * int64_t(padding_);
  }

 private:
  static constexpr size_t kBufferSize = 1 << 16;

  void SlowRefill() {
    while (count_ <= 56) {
      if (next_ == end_ && !source_end_) Fill();
      uint64_t byte = 0;
      if (next_ != end_) {
        byte = *next_++;
      } else {
        ++padding_;
      }
      bits_ |= byte << (56 - count_);
      count_ += 8;
    }
  }
  void Fill() {
    const size_t got = source_.Read(buffer_.data(), buffer_.size());
    next_ = buffer_.data();
    end_ = next_ + got;
    if (got < buffer_.size()) source_end_ = true;
  }

  InStream& source_;
  std::vector<uint8_t> buffer_;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
  uint64_t padding_ = 0;
  bool source_end_ = false;
};

struct Bzip2Decoder::Block {
  std::vector<uint32_t> tt;
  std::vector<uint8_t> selectors;
  HuffmanTable tables[kMaxGroups];
};

// Truncated input shows up as garbage decoded from the zero padding; report
// it as what it is.
[[noreturn]] static void Fail(bool overrun, const char* message) {
  if (overrun) throw UnexpectedEnd("unexpected end of data");
  throw DataError(message);
}

Bzip2Decoder::Bzip2Decoder(InStream& source, unsigned /*threads*/)
    : bits_(std::make_unique<BitReader>(source)), block_(std::make_unique<Block>()) {}

Bzip2Decoder::~Bzip2Decoder() = default;

size_t Bzip2Decoder::Read(uint8_t* data, size_t size) {
  size_t total = 0;
  while (total < size) {
    if (draining_) {
      total += Emit(data + total, size - total);
      if (remaining_ == 0 && repeat_ == 0) FinishBlock();
      continue;
    }
    if (finished_ || !NextBlock()) {
      finished_ = true;
      break;
    }
  }
  return total;
}

bool Bzip2Decoder::StartStream() {
  BitReader& in = *bits_;
  if (seen_stream_ && in.AtEnd()) return false;
  const uint32_t signature = in.Get(24);
  const uint32_t level = in.Get(8);
  if (in.Overrun()) throw UnexpectedEnd("unexpected end of data");
  if (signature != 0x425A68 || level < '1' || level > '9') {
    throw DataError(seen_stream_ ? "data after the bzip2 stream" : "not a bzip2 stream");
  }
  level_ = level - '0';
  block_->tt.resize(level_ * 100000);
  seen_stream_ = true;
  in_stream_ = true;
  stream_crc_ = 0;
  return true;
}

static void BuildTable(HuffmanTable& table, const uint8_t* lengths, unsigned alphabet,
                       bool overrun) {
  std::fill(std::begin(table.count), std::end(table.count), 0);
  for (unsigned s = 0; s < alphabet; ++s) ++table.count[lengths[s]];
  int32_t left = 1;
  uint32_t code = 0;
  uint16_t offset = 0;
  table.max_length = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    left = 2 * left - table.count[len];
    if (left < 0) Fail(overrun, "invalid bzip2 Huffman code");
    table.first[len] = code;
    table.offset[len] = offset;
    code = (code + table.count[len]) << 1;
    offset += table.count[len];
    if (table.count[len] != 0) table.max_length = len;
  }
  uint16_t next[kMaxCodeLength + 1];
  std::copy(std::begin(table.offset), std::end(table.offset), next);
  for (unsigned s = 0; s < alphabet; ++s) table.sorted[next[lengths[s]]++] = uint16_t(s);

  std::fill(std::begin(table.fast), std::end(table.fast), 0);
  for (unsigned len = 1; len <= kFastBits; ++len) {
    for (unsigned i = 0; i < table.count[len]; ++i) {
      const unsigned symbol = table.sorted[table.offset[len] + i];
      const uint32_t start = (table.first[len] + i) << (kFastBits - len);
      const uint32_t span = 1u << (kFastBits - len);
      std::fill_n(table.fast + start, span, uint16_t(symbol | len << 9));
    }
  }
}

bool Bzip2Decoder::NextBlock() {
  BitReader& in = *bits_;
  for (;;) {
    if (!in_stream_ && !StartStream()) return false;
    const uint64_t magic = uint64_t{in.Get(24)} << 24 | in.Get(24);
    if (magic == kEndMagic) {
      const uint32_t stored = in.Get(32);
      if (in.Overrun()) throw UnexpectedEnd("unexpected end of data");
      if (stored != stream_crc_) throw DataError("bzip2 stream CRC mismatch");
      in.AlignToByte();
      in_stream_ = false;
      continue;
    }
    if (magic != kBlockMagic) Fail(in.Overrun(), "invalid bzip2 block header");
    break;
  }
  expected_crc_ = in.Get(32);
  if (in.Get(1)) Fail(in.Overrun(), "randomized bzip2 blocks are not supported");
  const uint32_t origin = in.Get(24);

  uint8_t alphabet_bytes[256];
  unsigned used = 0;
  const uint32_t ranges = in.Get(16);
  for (unsigned i = 0; i < 16; ++i) {
    if (!(ranges & (0x8000u >> i))) continue;
    const uint32_t bits = in.Get(16);
    for (unsigned j = 0; j < 16; ++j)
      if (bits & (0x8000u >> j)) alphabet_bytes[used++] = uint8_t(i * 16 + j);
  }
  if (used == 0) Fail(in.Overrun(), "invalid bzip2 symbol map");
  const unsigned alphabet = used + 2;

  const unsigned groups = in.Get(3);
  const unsigned selector_count = in.Get(15);
  if (groups < 2 || groups > kMaxGroups || selector_count == 0)
    Fail(in.Overrun(), "invalid bzip2 block header");
  Block& block = *block_;
  block.selectors.resize(std::min(selector_count, kMaxSelectors));
  uint8_t group_order[kMaxGroups] = {0, 1, 2, 3, 4, 5};
  for (unsigned i = 0; i < selector_count; ++i) {
    unsigned j = 0;
    for (;;) {
      in.Refill();
      if (!in.Peek(1)) break;
      in.Skip(1);
      if (++j >= groups) Fail(in.Overrun(), "invalid bzip2 selector");
    }
    in.Skip(1);
    const uint8_t group = group_order[j];
    std::memmove(group_order + 1, group_order, j);
    group_order[0] = group;
    if (i < kMaxSelectors) block.selectors[i] = group;
  }

  for (unsigned g = 0; g < groups; ++g) {
    uint8_t lengths[kMaxAlphabet];
    int length = static_cast<int>(in.Get(5));
    for (unsigned s = 0; s < alphabet; ++s) {
      for (;;) {
        if (length < 1 || length > int(kMaxCodeLength))
          Fail(in.Overrun(), "invalid bzip2 code length");
        in.Refill();
        if (!in.Peek(1)) {
          in.Skip(1);
          break;
        }
        length += in.Peek(2) == 2 ? 1 : -1;
        in.Skip(2);
      }
      lengths[s] = uint8_t(length);
    }
    BuildTable(block.tables[g], lengths, alphabet, in.Overrun());
  }

  // Huffman symbols -> move-to-front and zero-run decoding, straight into
  // the block vector with the byte counts the inverse BWT needs.
  uint32_t* tt = block.tt.data();
  const uint32_t capacity = uint32_t(block.tt.size());
  uint32_t counts[256] = {};
  uint8_t mtf[256];
  std::memcpy(mtf, alphabet_bytes, used);
  const unsigned end_of_block = alphabet - 1;
  uint32_t size = 0;
  uint32_t run = 0;
  uint32_t run_weight = 1;
  unsigned selector = 0;
  unsigned left_in_group = 0;
  const HuffmanTable* table = nullptr;
  bool bad = false;
  for (;;) {
    if (left_in_group == 0) {
      if (selector >= block.selectors.size()) Fail(in.Overrun(), "invalid bzip2 selector");
      table = &block.tables[block.selectors[selector++]];
      left_in_group = kGroupSize;
    }
    --left_in_group;
    const unsigned symbol = in.DecodeSymbol(*table, bad);
    if (bad) Fail(in.Overrun(), "invalid bzip2 Huffman code");
    if (symbol <= 1) {
      if (run_weight > capacity) Fail(in.Overrun(), "bzip2 block too large");
      run += run_weight << symbol;
      run_weight <<= 1;
      continue;
    }
    if (run != 0) {
      if (run > capacity - size) Fail(in.Overrun(), "bzip2 block too large");
      const uint8_t byte = mtf[0];
      counts[byte] += run;
      std::fill_n(tt + size, run, byte);
      size += run;
      run = 0;
      run_weight = 1;
    }
    if (symbol == end_of_block) break;
    if (size >= capacity) Fail(in.Overrun(), "bzip2 block too large");
    const unsigned index = symbol - 1;
    const uint8_t byte = mtf[index];
    if (index < 16) {
      for (unsigned k = index; k != 0; --k) mtf[k] = mtf[k - 1];
    } else {
      std::memmove(mtf + 1, mtf, index);
    }
    mtf[0] = byte;
    ++counts[byte];
    tt[size++] = byte;
  }
  if (in.Overrun()) throw UnexpectedEnd("unexpected end of data");
  if (origin >= size) throw DataError("invalid bzip2 block origin");

  // Inverse BWT: each entry keeps its byte in the low 8 bits and gains the
  // index of its successor above them, so the walk touches one vector.
  uint32_t start[256];
  uint32_t sum = 0;
  for (unsigned b = 0; b < 256; ++b) {
    start[b] = sum;
    sum += counts[b];
  }
  for (uint32_t i = 0; i < size; ++i) tt[start[tt[i] & 0xff]++] |= i << 8;

  position_ = tt[origin] >> 8;
  remaining_ = size;
  repeat_ = 0;
  run_ = 0;
  last_ = 0;
  block_crc_ = 0xFFFFFFFFu;
  draining_ = true;
  return true;
}

size_t Bzip2Decoder::Emit(uint8_t* data, size_t size) {
  const uint32_t* tt = block_->tt.data();
  uint8_t* out = data;
  uint8_t* const end = data + size;
  uint32_t position = position_;
  uint32_t remaining = remaining_;
  uint32_t run = run_;
  uint8_t last = last_;
  while (out != end) {
    if (repeat_ != 0) {
      const size_t n = std::min<size_t>(repeat_, size_t(end - out));
      std::memset(out, last, n);
      out += n;
      repeat_ -= uint32_t(n);
      continue;
    }
    if (remaining == 0) break;
    position = tt[position];
    const uint8_t byte = uint8_t(position);
    position >>= 8;
    --remaining;
    // After four equal bytes the next byte is a repeat count, not data.
    if (run == 4) {
      repeat_ = byte;
      run = 0;
      continue;
    }
    run = byte == last ? run + 1 : 1;
    last = byte;
    *out++ = byte;
  }
  position_ = position;
  remaining_ = remaining;
  run_ = run;
  last_ = last;
  block_crc_ = UpdateCrc(block_crc_, data, size_t(out - data));
  return size_t(out - data);
}

void Bzip2Decoder::FinishBlock() {
  draining_ = false;
  const uint32_t crc = ~block_crc_;
  if (crc != expected_crc_) throw DataError("bzip2 block CRC mismatch");
  stream_crc_ = (stream_crc_ << 1 | stream_crc_ >> 31) ^ crc;
}

}  // namespace cindral::codec
