#include "engine/codec/bzip2.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/codec/spare_pool.h"
#include "engine/codec/worker_threads.h"

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
constexpr uint32_t kMaxBlockSize = 900000;

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
      const unsigned taken = (63 - count_) >> 3;
      next_ += taken;
      fed_ += taken;
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
  void SkipBits(uint64_t n) {
    for (; n > 32; n -= 32) Get(32);
    if (n != 0) Get(unsigned(n));
  }
  // Bits consumed since the start of the source.
  uint64_t Position() const { return 8 * fed_ - count_; }
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
      ++fed_;
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
  uint64_t fed_ = 0;
  bool source_end_ = false;
};

struct Bzip2Decoder::Block {
  std::vector<uint32_t> tt;
  std::vector<uint8_t> selectors;
  HuffmanTable tables[kMaxGroups];
  uint32_t size = 0;
  uint32_t origin = 0;
  uint32_t crc = 0;
};

// Truncated input shows up as garbage decoded from the zero padding; report
// it as what it is.
[[noreturn]] static void Fail(bool overrun, const char* message) {
  if (overrun) throw UnexpectedEnd("unexpected end of data");
  throw DataError(message);
}

namespace {

// The link vector of a block is up to 3.6 MB, and a ZIP may hold thousands of
// small bzip2 entries: decoders hand their vectors back here for the next
// one instead of mapping, zeroing and unmapping a fresh one each time. A few
// are kept, enough for every block in flight on a pool's threads.
using SpareLinks = SparePool<std::vector<uint32_t>, 4>;

SpareLinks& Spares() {
  static SpareLinks spares;
  return spares;
}

void GiveBack(std::vector<uint32_t>&& links) {
  if (!links.empty()) Spares().Give(std::move(links));
}

}  // namespace

struct Bzip2Decoder::Job {
  uint64_t start = 0;
  std::vector<uint8_t> input;
  Block block;
  std::vector<uint8_t> output;  // the block after the inverse BWT
  uint64_t length = 0;          // bits from the magic through the block end
  bool done = false;
  bool ok = false;
};

// Speculative decoding of blocks on worker threads. Blocks are found by their
// 48-bit magic at any bit offset; a worker decodes from each candidate with a
// copy of the input up to the next one. The consumer still walks the stream
// itself and only takes a worker's result for the exact bit position where
// the previous block ended, so a false match is never used, and anything a
// worker could not decode is decoded again in order, giving the same result
// and the same error as a single thread.
class Bzip2Decoder::Parallel {
 public:
  Parallel(InStream& source, unsigned threads) : source_(source), input_(*this) {
    workers_ = StartWorkers(
        threads, [this] { Work(); }, [this] { Stop(); });
    max_jobs_ = threads + 1;
  }
  ~Parallel() {
    Stop();
    for (auto& worker : workers_) worker.join();
  }

  InStream& input() { return input_; }

  // Takes back the output of a drained block for a later one: a fresh one
  // costs a page fault every 4 KiB of up to 900 kB a block.
  void Recycle(std::vector<uint8_t>&& output) {
    if (output.capacity() == 0) return;
    std::lock_guard lock(mutex_);
    if (spare_outputs_.size() < max_jobs_) spare_outputs_.push_back(std::move(output));
  }

  // The decoded block whose magic starts at bit start, or null when no
  // worker decoded one there.
  std::shared_ptr<Job> Take(uint64_t start) {
    while (!candidates_.empty() && candidates_.front() < start) candidates_.pop_front();
    std::unique_lock lock(mutex_);
    while (!jobs_.empty() && jobs_.front()->start < start) jobs_.pop_front();
    lock.unlock();
    FillPipeline();
    lock.lock();
    if (jobs_.empty() || jobs_.front()->start != start) return nullptr;
    std::shared_ptr<Job> job = jobs_.front();
    jobs_.pop_front();
    job_done_.wait(lock, [&] { return job->done; });
    lock.unlock();
    FillPipeline();
    return job->ok ? job : nullptr;
  }

 private:
  static constexpr size_t kChunk = 1 << 20;
  // More than the largest possible block: 900k symbols of up to 20 bits.
  static constexpr size_t kMaxBlockBytes = 2600000;

  class Input final : public InStream {
   public:
    explicit Input(Parallel& owner) : owner_(owner) {}
    size_t Read(uint8_t* data, size_t size) override {
      size_t total = 0;
      while (total < size) {
        const uint64_t end = owner_.base_ + owner_.pending_.size();
        if (position_ == end) {
          if (!owner_.Discover()) break;
          continue;
        }
        const size_t n = size_t(std::min<uint64_t>(size - total, end - position_));
        std::memcpy(data + total, owner_.pending_.data() + (position_ - owner_.base_), n);
        position_ += n;
        total += n;
      }
      return total;
    }
    uint64_t position() const { return position_; }

   private:
    Parallel& owner_;
    uint64_t position_ = 0;
  };

  void FillPipeline() {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (jobs_.size() >= max_jobs_) return;
      }
      if (!SubmitNext()) return;
    }
  }

  bool SubmitNext() {
    // Memory stays bounded on input with no block magic: look no further
    // ahead than the jobs in flight could need.
    const uint64_t lookahead = (max_jobs_ + 1) * uint64_t{kMaxBlockBytes};
    while (candidates_.empty()) {
      if (base_ + pending_.size() - input_.position() > lookahead) return false;
      if (!Discover()) return false;
    }
    const uint64_t first = candidates_.front() / 8;
    while (candidates_.size() < 2 && base_ + pending_.size() - first < kMaxBlockBytes) {
      if (!Discover()) break;
    }
    const uint64_t end = base_ + pending_.size();
    const uint64_t last = candidates_.size() >= 2 ? std::min(end, candidates_[1] / 8 + 8) : end;
    auto job = std::make_shared<Job>();
    job->start = candidates_.front();
    job->input.assign(pending_.begin() + ptrdiff_t(first - base_),
                      pending_.begin() + ptrdiff_t(last - base_));
    candidates_.pop_front();
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(job);
      queue_.push_back(job);
    }
    wake_workers_.notify_one();
    return true;
  }

  // Reads another chunk of input and looks for block magics in it.
  bool Discover() {
    if (source_end_) return false;
    uint64_t keep = std::min(input_.position(), scanned_);
    if (!candidates_.empty()) keep = std::min(keep, candidates_.front() / 8);
    if (keep - base_ >= kChunk) {
      pending_.erase(pending_.begin(), pending_.begin() + ptrdiff_t(keep - base_));
      base_ = keep;
    }
    const size_t old_size = pending_.size();
    pending_.resize(old_size + kChunk);
    const size_t got = source_.Read(pending_.data() + old_size, kChunk);
    pending_.resize(old_size + got);
    if (got < kChunk) source_end_ = true;
    Scan();
    return got != 0;
  }

  void Scan() {
    static const std::array<uint8_t, 256> kShifts = [] {
      std::array<uint8_t, 256> shifts{};
      for (unsigned s = 0; s < 8; ++s) shifts[uint8_t((kBlockMagic << (16 - s)) >> 48)] |= 1 << s;
      return shifts;
    }();
    const uint64_t end = base_ + pending_.size();
    const uint8_t* bytes = pending_.data();
    for (; scanned_ + 8 <= end || (source_end_ && scanned_ < end); ++scanned_) {
      const size_t at = size_t(scanned_ - base_);
      if (at + 1 >= pending_.size()) continue;
      const uint8_t shifts = kShifts[bytes[at + 1]];
      if (shifts == 0) continue;
      uint64_t v = 0;
      for (size_t k = 0; k < 8; ++k) v = v << 8 | (at + k < pending_.size() ? bytes[at + k] : 0);
      for (unsigned s = 0; s < 8; ++s) {
        if ((shifts >> s & 1) && ((v >> (16 - s)) & 0xFFFFFFFFFFFF) == kBlockMagic)
          candidates_.push_back(scanned_ * 8 + s);
      }
    }
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_workers_.notify_all();
  }

  void Work() {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock lock(mutex_);
        wake_workers_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        job = queue_.front();
        queue_.pop_front();
        if (!spare_outputs_.empty()) {
          job->output = std::move(spare_outputs_.back());
          spare_outputs_.pop_back();
        }
      }
      Decode(*job);
      {
        std::lock_guard lock(mutex_);
        job->done = true;
      }
      job_done_.notify_all();
    }
  }

  static void Decode(Job& job) {
    try {
      MemoryInStream source(job.input);
      BitReader in(source);
      const unsigned shift = unsigned(job.start % 8);
      in.SkipBits(shift + 48);
      job.block.tt = Spares().Take();
      DecodeBlock(in, job.block, kMaxBlockSize);
      if (in.Overrun()) return;
      job.length = in.Position() - shift;
      const uint32_t* tt = job.block.tt.data();
      job.output.resize(job.block.size);
      uint32_t position = tt[job.block.origin] >> 8;
      for (uint8_t& byte : job.output) {
        position = tt[position];
        byte = uint8_t(position);
        position >>= 8;
      }
      GiveBack(std::move(job.block.tt));
      job.ok = true;
    } catch (const std::exception&) {
      job.ok = false;
    }
  }

  InStream& source_;
  Input input_;
  std::vector<uint8_t> pending_;  // input from byte base_ on
  uint64_t base_ = 0;
  uint64_t scanned_ = 0;
  bool source_end_ = false;
  std::deque<uint64_t> candidates_;  // bit positions not yet given to a worker

  std::mutex mutex_;
  std::condition_variable wake_workers_;
  std::condition_variable job_done_;
  std::deque<std::shared_ptr<Job>> jobs_;   // submitted, in stream order
  std::deque<std::shared_ptr<Job>> queue_;  // not yet picked up
  std::vector<std::vector<uint8_t>> spare_outputs_;
  size_t max_jobs_ = 2;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

Bzip2Decoder::Bzip2Decoder(InStream& source, unsigned threads) {
  if (threads > 1) {
    parallel_ = std::make_unique<Parallel>(source, threads);
    bits_ = std::make_unique<BitReader>(parallel_->input());
  } else {
    bits_ = std::make_unique<BitReader>(source);
  }
  block_ = std::make_unique<Block>();
  block_->tt = Spares().Take();
}

Bzip2Decoder::~Bzip2Decoder() { GiveBack(std::move(block_->tt)); }

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
  const uint32_t capacity = level_ * 100000;
  job_.reset();
  if (parallel_) job_ = parallel_->Take(in.Position() - 48);
  if (job_ && job_->block.size <= capacity) {
    in.SkipBits(job_->length - 48);
    expected_crc_ = job_->block.crc;
    bytes_ = job_->output.data();
    position_ = 0;
    remaining_ = job_->block.size;
  } else {
    job_.reset();
    DecodeBlock(in, *block_, capacity);
    expected_crc_ = block_->crc;
    bytes_ = nullptr;
    position_ = block_->tt[block_->origin] >> 8;
    remaining_ = block_->size;
  }
  repeat_ = 0;
  run_ = 0;
  last_ = 0;
  block_crc_ = 0xFFFFFFFFu;
  draining_ = true;
  return true;
}

// Reads one block from just after its magic through its end-of-block
// symbol and links it for the inverse BWT. capacity bounds the block as the
// stream's level does.
void Bzip2Decoder::DecodeBlock(BitReader& in, Block& block, uint32_t capacity) {
  if (block.tt.size() < capacity) block.tt.resize(capacity);
  block.crc = in.Get(32);
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

  block.size = size;
  block.origin = origin;
}

namespace {

// The initial run-length stage: after four equal bytes the next byte is a
// repeat count, not data. next yields the block's bytes in order.
struct RunLengthState {
  uint32_t& remaining;
  uint32_t& repeat;
  uint32_t& run;
  uint8_t& last;
};

template <typename Next>
uint8_t* ExpandRuns(uint8_t* out, uint8_t* const end, RunLengthState state, Next next) {
  uint32_t remaining = state.remaining;
  uint32_t run = state.run;
  uint8_t last = state.last;
  while (out != end) {
    if (state.repeat != 0) {
      const size_t n = std::min<size_t>(state.repeat, size_t(end - out));
      std::memset(out, last, n);
      out += n;
      state.repeat -= uint32_t(n);
      continue;
    }
    if (remaining == 0) break;
    const uint8_t byte = next();
    --remaining;
    if (run == 4) {
      state.repeat = byte;
      run = 0;
      continue;
    }
    run = byte == last ? run + 1 : 1;
    last = byte;
    *out++ = byte;
  }
  state.remaining = remaining;
  state.run = run;
  state.last = last;
  return out;
}

}  // namespace

size_t Bzip2Decoder::Emit(uint8_t* data, size_t size) {
  const RunLengthState state{remaining_, repeat_, run_, last_};
  uint32_t position = position_;
  uint8_t* out;
  if (bytes_ != nullptr) {
    const uint8_t* bytes = bytes_;
    out = ExpandRuns(data, data + size, state, [&] { return bytes[position++]; });
  } else {
    const uint32_t* tt = block_->tt.data();
    out = ExpandRuns(data, data + size, state, [&] {
      position = tt[position];
      const uint8_t byte = uint8_t(position);
      position >>= 8;
      return byte;
    });
  }
  position_ = position;
  block_crc_ = UpdateCrc(block_crc_, data, size_t(out - data));
  return size_t(out - data);
}

void Bzip2Decoder::FinishBlock() {
  draining_ = false;
  if (job_) parallel_->Recycle(std::move(job_->output));
  job_.reset();
  const uint32_t crc = ~block_crc_;
  if (crc != expected_crc_) throw DataError("bzip2 block CRC mismatch");
  stream_crc_ = (stream_crc_ << 1 | stream_crc_ >> 31) ^ crc;
}

}  // namespace cindral::codec
