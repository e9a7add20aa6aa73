#include "engine/codec/lzma2.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/codec/lzma.h"
#include "engine/codec/worker_threads.h"

namespace cindral::codec {
namespace {

constexpr size_t kMaxPacked = size_t{1} << 16;
constexpr size_t kOutputStep = size_t{1} << 18;

uint64_t DictionarySize(uint8_t property) {
  if (property > 40) throw Unsupported("bad LZMA2 dictionary size");
  if (property == 40) return UINT32_MAX;
  return uint64_t{2 | (property & 1u)} << (property / 2 + 11);
}

uint8_t ReadByte(InStream& source) {
  uint8_t byte;
  if (source.Read(&byte, 1) != 1) throw UnexpectedEnd("unexpected end of LZMA2 data");
  return byte;
}

void ReadExactly(InStream& source, uint8_t* data, size_t size) {
  if (source.Read(data, size) != size) throw UnexpectedEnd("unexpected end of LZMA2 data");
}

// Decodes one LZMA2 stream on the calling thread.
class Lzma2Stream final : public InStream {
 public:
  Lzma2Stream(InStream& source, uint64_t dictionary)
      : source_(source), core_(dictionary), packed_(kMaxPacked + LzmaCore::kInputSlack) {}

  // Decodes a whole block straight into a window that holds all of it and
  // returns that window; the block's size must be the window limit. The
  // window grows with what the chunks really decode to: their headers alone
  // can claim 64 MiB a block in a few hundred bytes, and several blocks are
  // in flight at once.
  // A spare window of at least size bytes, when given, is decoded into
  // instead.
  std::unique_ptr<uint8_t[]> DecodeBlock(size_t size, std::unique_ptr<uint8_t[]> spare,
                                         size_t spare_capacity) {
    if (spare) core_.AdoptWindow(std::move(spare), spare_capacity);
    while (!finished_) DecodeMore();
    if (core_.position() != size) throw DataError("LZMA2 chunk size mismatch");
    return core_.TakeWindow();
  }

  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const size_t count = core_.CopyDecoded(read_pos_, data + done, size - done);
      done += count;
      if (count != 0) continue;
      if (finished_) break;
      DecodeMore();
    }
    return done;
  }

 private:
  enum class Chunk { kNone, kStored, kLzma };

  void StartChunk() {
    const uint8_t control = ReadByte(source_);
    if (control == 0) {
      finished_ = true;
      return;
    }
    uint8_t header[5];
    if (control < 0x80) {
      if (control > 2) throw DataError("bad LZMA2 chunk");
      if (control == 2 && need_level_ == 0xE0)
        throw DataError("LZMA2 stream lacks a dictionary reset");
      ReadExactly(source_, header, 2);
      if (control == 1) {
        core_.ResetDictionary();
        read_pos_ = 0;
        need_level_ = 0xC0;
      }
      chunk_ = Chunk::kStored;
      unpacked_left_ = (uint32_t{header[0]} << 8 | header[1]) + 1;
      return;
    }
    const bool has_properties = control >= 0xC0;
    ReadExactly(source_, header, has_properties ? 5 : 4);
    if ((control & 0xE0) < need_level_) throw DataError("LZMA2 chunk lacks a reset");
    need_level_ = 0;
    unpacked_left_ = (uint32_t{control & 0x1Fu} << 16 | uint32_t{header[0]} << 8 | header[1]) + 1;
    const size_t packed = (size_t{header[2]} << 8 | header[3]) + 1;
    if (control >= 0xE0) {
      core_.ResetDictionary();
      read_pos_ = 0;
    }
    if (has_properties) {
      unsigned d = header[4];
      // Properties inside the stream are data: a bad byte is damage, not a
      // method this engine lacks.
      if (d >= 9 * 5 * 5) throw DataError("bad LZMA2 chunk properties");
      const unsigned lc = d % 9;
      d /= 9;
      const unsigned lp = d % 5;
      const unsigned pb = d / 5;
      if (lc + lp > 4 || pb > 4) throw DataError("bad LZMA2 chunk properties");
      core_.SetProperties(lc, lp, pb);
    } else if (control >= 0xA0) {
      core_.ResetState();
    }
    if (packed < 5) throw DataError("bad LZMA2 chunk");
    ReadExactly(source_, packed_.data(), packed);
    std::memset(packed_.data() + packed, 0, LzmaCore::kInputSlack);
    packed_end_ = packed;
    const uint8_t* in = packed_.data();
    core_.StartRange(in);
    in_pos_ = 5;
    chunk_ = Chunk::kLzma;
  }

  void DecodeMore() {
    if (chunk_ == Chunk::kNone) {
      StartChunk();
      if (finished_) return;
    }
    const size_t room = core_.Room();
    read_pos_ = core_.position();
    const size_t step = std::min({room, kOutputStep, size_t{unpacked_left_}});
    if (chunk_ == Chunk::kStored) {
      ReadExactly(source_, core_.write_pointer(), step);
      core_.Advance(step);
    } else {
      const uint8_t* const base = packed_.data();
      const uint8_t* in = base + in_pos_;
      const LzmaCore::Stop stop = core_.Decode(in, base + packed_end_ + 1, read_pos_ + step);
      in_pos_ = static_cast<size_t>(in - base);
      if (in_pos_ > packed_end_ || core_.position() != read_pos_ + step)
        throw DataError("LZMA2 chunk overrun");
      if (stop == LzmaCore::Stop::kEndMarker) throw DataError("end marker in LZMA2 chunk");
    }
    unpacked_left_ -= static_cast<uint32_t>(step);
    if (unpacked_left_ != 0) return;
    if (chunk_ == Chunk::kLzma && (in_pos_ != packed_end_ || core_.pending_match() != 0))
      throw DataError("LZMA2 chunk size mismatch");
    chunk_ = Chunk::kNone;
  }

  InStream& source_;
  LzmaCore core_;
  std::vector<uint8_t> packed_;
  size_t packed_end_ = 0, in_pos_ = 0;
  Chunk chunk_ = Chunk::kNone;
  uint32_t unpacked_left_ = 0;
  unsigned need_level_ = 0xE0;
  bool finished_ = false;
  size_t read_pos_ = 0;
};

// Reads buffered bytes first, then the rest of the source.
class PrefixedStream final : public InStream {
 public:
  PrefixedStream(std::vector<uint8_t> prefix, InStream& rest)
      : prefix_(std::move(prefix)), rest_(rest) {}

  size_t Read(uint8_t* data, size_t size) override {
    const size_t from_prefix = std::min(size, prefix_.size() - position_);
    if (from_prefix != 0) std::memcpy(data, prefix_.data() + position_, from_prefix);
    position_ += from_prefix;
    if (from_prefix == size) return size;
    return from_prefix + rest_.Read(data + from_prefix, size - from_prefix);
  }

 private:
  std::vector<uint8_t> prefix_;
  size_t position_ = 0;
  InStream& rest_;
};

bool ResetsDictionary(uint8_t control) { return control == 1 || control >= 0xE0; }

// Splits the stream at dictionary resets, where the decoder keeps nothing
// from before, and decodes those blocks on worker threads. The chunk headers
// give each block's sizes before it is decoded, so the reader knows when a
// block is complete and how large its output is. A block too large to hold
// in memory switches the rest of the stream to one thread.
class Lzma2ParallelStream final : public InStream {
 public:
  Lzma2ParallelStream(InStream& source, uint64_t dictionary, unsigned threads)
      : source_(source), dictionary_(dictionary), max_queued_(threads + 1) {
    workers_ = StartWorkers(
        threads, [this] { Work(); }, [this] { Stop(); });
  }

  ~Lzma2ParallelStream() override {
    Stop();
    for (std::thread& worker : workers_) worker.join();
  }

  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      if (single_) return done + single_->Read(data + done, size - done);
      Schedule();
      if (queue_.empty()) {
        if (!fallback_prefix_) break;
        single_stream_source_ =
            std::make_unique<PrefixedStream>(std::move(*fallback_prefix_), source_);
        single_ = std::make_unique<Lzma2Stream>(*single_stream_source_, dictionary_);
        continue;
      }
      Block& block = *queue_.front();
      {
        std::unique_lock lock(mutex_);
        block_done_.wait(lock, [&] { return block.done; });
      }
      if (block.error) std::rethrow_exception(block.error);
      const size_t count = std::min(block.unpacked - block.read_pos, size - done);
      if (count != 0) std::memcpy(data + done, block.output.get() + block.read_pos, count);
      block.read_pos += count;
      done += count;
      if (block.read_pos == block.unpacked) {
        KeepSpare(std::move(block.output), block.output_capacity);
        queue_.pop_front();
      }
    }
    return done;
  }

 private:
  static constexpr uint64_t kMaxBlock = uint64_t{64} << 20;

  struct Window {
    std::unique_ptr<uint8_t[]> bytes;
    size_t capacity = 0;
  };

  // Drained output windows go to the next blocks: a fresh window costs a
  // page fault every 4 KiB and a copy at every doubling, about a tenth of
  // the decoding. Only as many are kept as blocks can be in flight.
  void KeepSpare(std::unique_ptr<uint8_t[]> bytes, size_t capacity) {
    if (!bytes) return;
    std::lock_guard lock(mutex_);
    if (spares_.size() < max_queued_) spares_.push_back({std::move(bytes), capacity});
  }

  // The smallest spare that holds size bytes, if any.
  Window TakeSpare(size_t size) {
    std::lock_guard lock(mutex_);
    auto best = spares_.end();
    for (auto it = spares_.begin(); it != spares_.end(); ++it)
      if (it->capacity >= size && (best == spares_.end() || it->capacity < best->capacity))
        best = it;
    if (best == spares_.end()) return {};
    Window window = std::move(*best);
    spares_.erase(best);
    return window;
  }

  struct Block {
    std::vector<uint8_t> packed;  // chunks, ending with an end byte when complete
    size_t unpacked = 0;
    std::unique_ptr<uint8_t[]> output;
    size_t output_capacity = 0;
    size_t read_pos = 0;
    bool done = false;
    std::exception_ptr error;
  };

  // Reads up to size bytes into the block; false when the source ran dry.
  bool Take(Block& block, size_t size) {
    const size_t at = block.packed.size();
    block.packed.resize(at + size);
    const size_t got = source_.Read(block.packed.data() + at, size);
    block.packed.resize(at + got);
    return got == size;
  }

  // Collects the chunks of one block. Damage is left for the block's decoder
  // to report, in order, once the blocks before it are out.
  std::shared_ptr<Block> ScanBlock() {
    auto block = std::make_shared<Block>();
    uint8_t control = next_control_;
    bool first = true;
    for (;;) {
      if (!first || !have_control_) {
        if (source_.Read(&control, 1) != 1) {
          ended_ = true;
          return block;
        }
      }
      if (!first && ResetsDictionary(control)) {
        next_control_ = control;
        have_control_ = true;
        block->packed.push_back(0);
        return block;
      }
      first = false;
      block->packed.push_back(control);
      if (control == 0) {
        ended_ = true;
        return block;
      }
      size_t data_size;
      if (control >= 0x80) {
        if (!Take(*block, control >= 0xC0 ? 5 : 4)) break;
        const uint8_t* h = block->packed.data() + block->packed.size() - (control >= 0xC0 ? 5 : 4);
        block->unpacked += (uint64_t{control & 0x1Fu} << 16 | uint64_t{h[0]} << 8 | h[1]) + 1;
        data_size = (size_t{h[2]} << 8 | h[3]) + 1;
      } else if (control <= 2) {
        if (!Take(*block, 2)) break;
        const uint8_t* h = block->packed.data() + block->packed.size() - 2;
        data_size = (size_t{h[0]} << 8 | h[1]) + 1;
        block->unpacked += data_size;
      } else {
        break;  // a bad control byte; the decoder rejects it
      }
      if (!Take(*block, data_size)) break;
      if (block->unpacked > kMaxBlock || block->packed.size() > kMaxBlock) {
        fallback_prefix_ = std::move(block->packed);
        return nullptr;
      }
    }
    ended_ = true;
    return block;
  }

  void Schedule() {
    while (!ended_ && !fallback_prefix_ && queue_.size() < max_queued_) {
      std::shared_ptr<Block> block = ScanBlock();
      if (!block) break;
      queue_.push_back(block);
      {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(block));
      }
      work_ready_.notify_one();
    }
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
  }

  void Work() {
    for (;;) {
      std::shared_ptr<Block> block;
      {
        std::unique_lock lock(mutex_);
        work_ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        block = std::move(jobs_.front());
        jobs_.pop_front();
      }
      try {
        MemoryInStream packed(block->packed);
        // Distances never reach before the block, so a window of the block's
        // size serves as the dictionary and becomes the output as it is.
        const size_t size = std::max<size_t>(block->unpacked, 1);
        Lzma2Stream decoder(packed, size);
        Window spare = TakeSpare(size);
        block->output_capacity = spare.bytes ? spare.capacity : size;
        block->output =
            decoder.DecodeBlock(block->unpacked, std::move(spare.bytes), spare.capacity);
      } catch (...) {
        block->error = std::current_exception();
      }
      block->packed = {};
      {
        std::lock_guard lock(mutex_);
        block->done = true;
      }
      block_done_.notify_all();
    }
  }

  InStream& source_;
  const uint64_t dictionary_;
  const size_t max_queued_;
  std::deque<std::shared_ptr<Block>> queue_;
  uint8_t next_control_ = 0;
  bool have_control_ = false;
  bool ended_ = false;
  std::optional<std::vector<uint8_t>> fallback_prefix_;
  std::unique_ptr<InStream> single_stream_source_;
  std::unique_ptr<InStream> single_;

  std::mutex mutex_;
  std::condition_variable work_ready_, block_done_;
  std::deque<std::shared_ptr<Block>> jobs_;
  std::vector<Window> spares_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace

Lzma2Decoder::Lzma2Decoder(InStream& source, uint8_t dictionary_property, unsigned threads) {
  const uint64_t dictionary = DictionarySize(dictionary_property);
  if (threads > 1)
    impl_ = std::make_unique<Lzma2ParallelStream>(source, dictionary, threads);
  else
    impl_ = std::make_unique<Lzma2Stream>(source, dictionary);
}

Lzma2Decoder::~Lzma2Decoder() = default;

size_t Lzma2Decoder::Read(uint8_t* data, size_t size) { return impl_->Read(data, size); }

}  // namespace cindral::codec
