// Extraction: local header, decryption, decompression, CRC and size checks
// per entry, with every failure reported as that entry's result.
#include "engine/format/zip/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>

#include "engine/codec/worker_threads.h"
#include "engine/format/zip/zip_internal.h"

namespace cindral::format::zip {
namespace {

constexpr size_t kBufferSize = size_t{1} << 16;
constexpr uint64_t kProgressStep = uint64_t{4} << 20;
// Entries decoded ahead wait in memory for the writer; this bounds them all
// together, well inside the smallest memory limit a worker is given.
constexpr uint64_t kDecodeAheadBudget = uint64_t{64} << 20;
constexpr size_t kMaxDecodedAhead = 64;
// Buffers of entries already written, kept for the next ones: a fresh buffer
// costs a page fault every 4 KiB, as much as a fifth of inflating into it.
constexpr size_t kMaxSpareBuffers = 4;
// Packed bzip2 data of this size holds a few blocks at least.
constexpr uint64_t kSplitBlocksFrom = uint64_t{1} << 20;

// A byte range of the archive, read through a buffer.
class RangeStream final : public codec::InStream {
 public:
  RangeStream(ArchiveSource& source, uint64_t offset, uint64_t size)
      : source_(source), offset_(offset), remaining_(size) {}

  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      if (position_ == buffer_.size()) {
        if (remaining_ == 0) break;
        // Large reads skip the buffer.
        if (size - done >= kBufferSize) {
          const size_t count = static_cast<size_t>(std::min<uint64_t>(size - done, remaining_));
          Fetch(data + done, count);
          done += count;
          continue;
        }
        buffer_.resize(static_cast<size_t>(std::min<uint64_t>(kBufferSize, remaining_)));
        Fetch(buffer_.data(), buffer_.size());
        position_ = 0;
      }
      const size_t count = std::min(size - done, buffer_.size() - position_);
      std::memcpy(data + done, buffer_.data() + position_, count);
      position_ += count;
      done += count;
    }
    return done;
  }

 private:
  void Fetch(uint8_t* data, size_t count) {
    source_.ReadAt(offset_, data, count);
    offset_ += count;
    remaining_ -= count;
  }

  ArchiveSource& source_;
  uint64_t offset_;
  uint64_t remaining_;
  std::vector<uint8_t> buffer_;
  size_t position_ = 0;
};

class Progress {
 public:
  explicit Progress(ExtractSink& sink) : sink_(sink) {}

  void Add(uint64_t count) {
    completed_ += count;
    if (completed_ - reported_ >= kProgressStep) Report();
  }
  // An item that failed early still counts as done.
  void FinishItem(uint64_t item_end) {
    completed_ = std::max(completed_, item_end);
    if (completed_ - reported_ >= kProgressStep) Report();
  }
  void Report() {
    reported_ = completed_;
    sink_.SetCompleted(completed_);
  }
  uint64_t completed() const { return completed_; }

 private:
  ExtractSink& sink_;
  uint64_t completed_ = 0;
  uint64_t reported_ = 0;
};

// The sink is asked once per Extract call, when the first encrypted entry is
// actually extracted.
//
// Both encryptions get the password as UTF-8. WinZip AES prescribes it; the
// traditional cipher has no rule, and UTF-8 is what zip and 7zz produce from a
// UTF-8 terminal, and the same bytes as any other choice for ASCII passwords.
class PasswordCache {
 public:
  explicit PasswordCache(ExtractSink& sink) : sink_(sink) {}

  const std::string* Get() {
    if (!asked_) {
      asked_ = true;
      if (std::optional<std::u16string> password = sink_.Password()) utf8_ = EncodeUtf8(*password);
    }
    return utf8_ ? &*utf8_ : nullptr;
  }

 private:
  ExtractSink& sink_;
  bool asked_ = false;
  std::optional<std::string> utf8_;
};

// Collects an entry decoded ahead of the writer.
class MemoryOutStream final : public codec::OutStream {
 public:
  explicit MemoryOutStream(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  void Write(const uint8_t* data, size_t size) override {
    bytes_.insert(bytes_.end(), data, data + size);
  }

 private:
  std::vector<uint8_t>& bytes_;
};

// One entry decoded on the pool, shared with its task so that the task may
// outlive an extraction that ended early.
struct AheadEntry {
  uint32_t index = 0;
  uint64_t size = 0;
  std::mutex mutex;
  std::condition_variable done_changed;
  bool started = false;
  bool done = false;
  bool claimed = false;  // the writer took it back to extract in place
  bool keep_bytes = true;
  OperationResult result = OperationResult::kDataError;
  std::vector<uint8_t> bytes;
};

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

class ZipReader final : public ArchiveReader {
 public:
  ZipReader(std::shared_ptr<ArchiveSource> source, Directory directory)
      : source_(std::move(source)), directory_(std::move(directory)) {}

  const std::vector<Item>& Items() const override { return directory_.items; }
  void Extract(std::span<const uint32_t> indices, bool test, ExtractSink& sink) override;
  void SetThreadCount(unsigned threads) override { threads_ = std::max(1u, threads); }

 private:
  class DecodeAhead;
  // Whether entries decoded ahead keep their bytes for the sink; a test
  // only checks them.
  enum class AheadOutput { kBytes, kCheckOnly };

  // progress and password may be null where the entry needs neither, as
  // entries decoded ahead do.
  OperationResult ExtractItem(uint32_t index, codec::OutStream* out, Progress* progress,
                              PasswordCache* password, std::span<uint8_t> buffer,
                              unsigned threads = 1) const;
  unsigned BlockThreads(uint32_t index) const;
  static void WriteDecoded(const AheadEntry& entry, codec::OutStream* out, Progress& progress);
  uint64_t DataStart(const Entry& entry) const;
  std::vector<bool> SharedRanges(std::span<const uint32_t> indices);
  static uint32_t Copy(codec::InStream& in, codec::OutStream* out, uint64_t size,
                       Progress* progress, std::span<uint8_t> buffer);
  bool MayDecodeAhead(uint32_t index) const;

  std::shared_ptr<ArchiveSource> source_;
  Directory directory_;
  std::vector<uint8_t> buffer_;
  unsigned threads_ = 1;
};

bool ZipReader::MayDecodeAhead(uint32_t index) const {
  const Entry& entry = directory_.entries[index];
  const uint64_t size = directory_.items[index].size;
  // Only the extracting thread may ask for a password.
  if (entry.encryption != Encryption::kNone || size > kDecodeAheadBudget) return false;
  // Handing an entry to another thread costs a few waits and wakes, which
  // under Wine are calls to its server: worth it for bzip2 blocks and longer
  // inflates, not for stored or short entries. LZMA and PPMd stay in place
  // because their models may need far more memory than the entry's size.
  switch (entry.method) {
    case kMethodBzip2:
      return true;
    case kMethodDeflate:
    case kMethodDeflate64:
      return size >= codec::kDecodeOnPoolFrom;
    default:
      return false;
  }
}

// While the writer takes one entry, the pool decodes the next ones into
// memory, at most kDecodeAheadBudget bytes and kMaxDecodedAhead entries
// ahead. An entry that fails ahead is extracted again in place, so that what
// reaches the sink and the result are exactly those of one thread.
class ZipReader::DecodeAhead {
 public:
  DecodeAhead(const ZipReader& reader, std::span<const uint32_t> indices,
              const std::vector<bool>& shared, unsigned threads, AheadOutput output)
      : reader_(reader), indices_(indices), shared_(shared), output_(output), pool_(threads) {}

  // The entry at position, decoded, or null when the writer extracts it in
  // place. Positions are taken in increasing order.
  std::shared_ptr<AheadEntry> Take(size_t position) {
    Schedule(position);
    if (ahead_.empty() || ahead_.front().position != position) return nullptr;
    std::shared_ptr<AheadEntry> entry = std::move(ahead_.front().entry);
    in_flight_ -= ahead_.front().charge;
    ahead_.pop_front();
    {
      std::unique_lock lock(entry->mutex);
      if (!entry->done && !entry->started)
        entry->claimed = true;
      else
        entry->done_changed.wait(lock, [&] { return entry->done; });
    }
    Schedule(position + 1);
    return entry->claimed ? nullptr : entry;
  }

  // Takes back the buffer of an entry the sink has been given.
  void Recycle(std::vector<uint8_t>&& bytes) {
    if (bytes.capacity() == 0 || spares_.size() == kMaxSpareBuffers) return;
    bytes.clear();
    held_ += bytes.capacity();
    spares_.push_back(std::move(bytes));
  }

 private:
  struct Scheduled {
    size_t position;
    std::shared_ptr<AheadEntry> entry;
    uint64_t charge;  // bytes of the budget it holds
  };

  // Spares count against the budget too; they go first when it is short.
  bool Fits(uint64_t size) {
    if (in_flight_ + held_ + size <= kDecodeAheadBudget) return true;
    spares_.clear();
    held_ = 0;
    return in_flight_ + size <= kDecodeAheadBudget;
  }

  // The smallest spare that holds size bytes, or an empty buffer.
  std::vector<uint8_t> TakeSpare(uint64_t size) {
    auto best = spares_.end();
    for (auto it = spares_.begin(); it != spares_.end(); ++it)
      if (it->capacity() >= size && (best == spares_.end() || it->capacity() < best->capacity()))
        best = it;
    if (best == spares_.end()) return {};
    std::vector<uint8_t> bytes = std::move(*best);
    spares_.erase(best);
    held_ -= bytes.capacity();
    return bytes;
  }

  void Schedule(size_t from) {
    next_ = std::max(next_, from);
    while (next_ < indices_.size() && ahead_.size() < kMaxDecodedAhead) {
      const uint32_t index = indices_[next_];
      if (shared_[next_] || !reader_.MayDecodeAhead(index)) {
        ++next_;
        continue;
      }
      const uint64_t size =
          output_ == AheadOutput::kBytes ? reader_.directory_.items[index].size : 0;
      if (!Fits(size)) return;  // fits once those ahead are taken
      auto entry = std::make_shared<AheadEntry>();
      entry->index = index;
      entry->size = reader_.directory_.items[index].size;
      entry->keep_bytes = output_ == AheadOutput::kBytes;
      if (entry->keep_bytes) entry->bytes = TakeSpare(size);
      const uint64_t charge = std::max<uint64_t>(size, entry->bytes.capacity());
      in_flight_ += charge;
      ahead_.push_back({next_++, entry, charge});
      pool_.Submit([&reader = reader_, entry] { Decode(reader, *entry); });
    }
  }

  static void Decode(const ZipReader& reader, AheadEntry& entry) {
    {
      std::lock_guard lock(entry.mutex);
      if (entry.claimed) return;
      entry.started = true;
    }
    OperationResult result;
    try {
      std::optional<MemoryOutStream> out;
      if (entry.keep_bytes) {
        entry.bytes.reserve(static_cast<size_t>(entry.size));
        out.emplace(entry.bytes);
      }
      std::vector<uint8_t> buffer(
          static_cast<size_t>(std::min<uint64_t>(kBufferSize, entry.size + 1)));
      result = reader.ExtractItem(entry.index, out ? &*out : nullptr, nullptr, nullptr, buffer);
    } catch (...) {
      result = OperationResult::kDataError;  // retried in place, where it is reported
    }
    std::lock_guard lock(entry.mutex);
    entry.result = result;
    entry.done = true;
    entry.done_changed.notify_all();
  }

  const ZipReader& reader_;
  std::span<const uint32_t> indices_;
  const std::vector<bool>& shared_;
  const AheadOutput output_;
  std::deque<Scheduled> ahead_;
  size_t next_ = 0;  // the next position to consider
  uint64_t in_flight_ = 0;
  std::vector<std::vector<uint8_t>> spares_;
  uint64_t held_ = 0;       // the spares' capacity
  codec::ThreadPool pool_;  // last: its tasks have ended before the rest goes
};

void ZipReader::Extract(std::span<const uint32_t> indices, bool test, ExtractSink& sink) {
  std::vector<uint32_t> every;
  if (indices.empty()) {
    every.resize(directory_.items.size());
    for (uint32_t i = 0; i < every.size(); ++i) every[i] = i;
    indices = every;
  }
  uint64_t total = 0;
  for (const uint32_t index : indices) {
    if (index >= directory_.items.size()) throw std::invalid_argument("item index out of range");
    total += std::min(directory_.items[index].size, UINT64_MAX - total);
  }
  sink.SetTotal(total);
  buffer_.resize(kBufferSize);
  const std::vector<bool> shared = SharedRanges(indices);
  Progress progress(sink);
  PasswordCache password(sink);
  std::optional<DecodeAhead> ahead;
  if (threads_ > 1 && indices.size() > 1)
    ahead.emplace(*this, indices, shared, threads_,
                  test ? AheadOutput::kCheckOnly : AheadOutput::kBytes);
  for (size_t position = 0; position < indices.size(); ++position) {
    const uint32_t index = indices[position];
    codec::OutStream* out = sink.BeginItem(index);
    if (test) out = nullptr;
    const uint64_t item_end = progress.completed() + std::min(directory_.items[index].size,
                                                              UINT64_MAX - progress.completed());
    OperationResult result = OperationResult::kDataError;
    if (!shared[position]) {
      const std::shared_ptr<AheadEntry> decoded = ahead ? ahead->Take(position) : nullptr;
      if (decoded && decoded->result == OperationResult::kOk) {
        WriteDecoded(*decoded, out, progress);
        ahead->Recycle(std::move(decoded->bytes));
        result = OperationResult::kOk;
      } else {
        // Entries the pool may take are left to it; the others may use every
        // thread on their own blocks.
        const unsigned threads = ahead && MayDecodeAhead(index) ? 1 : BlockThreads(index);
        result = ExtractItem(index, out, &progress, &password, buffer_, threads);
      }
    }
    progress.FinishItem(item_end);
    sink.EndItem(index, result);
  }
  progress.Report();
}

uint64_t ZipReader::DataStart(const Entry& entry) const {
  const uint64_t archive_size = source_->Size();
  if (entry.local_offset > archive_size || archive_size - entry.local_offset < kLocalHeaderSize)
    throw codec::UnexpectedEnd("local header lies beyond the archive");
  uint8_t header[kLocalHeaderSize];
  source_->ReadAt(entry.local_offset, header, sizeof header);
  if (Load32(header) != kLocalHeaderSignature)
    throw codec::DataError("local header does not match the central directory");
  return entry.local_offset + kLocalHeaderSize + Load16(header + 26) + Load16(header + 28);
}

// The directory's own check counts a bare local header; the real one may
// carry an extra field long enough to step over later headers and point many
// entries at one stream. So each entry's range runs from its local header to
// the end of the data its own header leads to, and an entry whose range
// begins inside an earlier entry's is refused. It costs one more read of
// each local header; an unreadable header fails on its own later.
std::vector<bool> ZipReader::SharedRanges(std::span<const uint32_t> indices) {
  std::vector<uint32_t> order(indices.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return directory_.entries[indices[a]].local_offset <
           directory_.entries[indices[b]].local_offset;
  });
  std::vector<bool> shared(indices.size());
  uint64_t covered_until = 0;
  bool first = true;
  for (size_t rank = 0; rank < order.size(); ++rank) {
    const uint32_t index = indices[order[rank]];
    // The same entry asked for twice shares nothing with itself.
    if (rank != 0 && indices[order[rank - 1]] == index) continue;
    const Entry& entry = directory_.entries[index];
    uint64_t data_start = 0;
    try {
      data_start = DataStart(entry);
    } catch (const codec::DataError&) {
      continue;
    }
    if (!first && entry.local_offset < covered_until) shared[order[rank]] = true;
    first = false;
    const uint64_t packed = directory_.items[index].packed_size.value_or(0);
    covered_until = std::max(covered_until, SaturatingAdd(data_start, packed));
  }
  return shared;
}

void ZipReader::WriteDecoded(const AheadEntry& entry, codec::OutStream* out, Progress& progress) {
  constexpr size_t kWriteSize = size_t{1} << 20;
  for (size_t done = 0; done < entry.bytes.size();) {
    const size_t count = std::min(kWriteSize, entry.bytes.size() - done);
    if (out != nullptr) out->Write(entry.bytes.data() + done, count);
    progress.Add(count);
    done += count;
  }
}

uint32_t ZipReader::Copy(codec::InStream& in, codec::OutStream* out, uint64_t size,
                         Progress* progress, std::span<uint8_t> buffer) {
  uint32_t crc = 0;
  uint64_t done = 0;
  for (;;) {
    const size_t got = in.Read(buffer.data(), buffer.size());
    if (got == 0) break;
    if (got > size - done) throw codec::DataError("entry is longer than declared");
    if (out != nullptr) out->Write(buffer.data(), got);
    crc = static_cast<uint32_t>(crc32(crc, buffer.data(), static_cast<uInt>(got)));
    done += got;
    if (progress != nullptr) progress->Add(got);
  }
  if (done != size) throw codec::DataError("entry is shorter than declared");
  return crc;
}

// A bzip2 stream of several blocks decodes them on every thread; shorter
// streams and other methods have nothing to split.
unsigned ZipReader::BlockThreads(uint32_t index) const {
  const bool blocks = directory_.entries[index].method == kMethodBzip2 &&
                      directory_.items[index].packed_size.value_or(0) >= kSplitBlocksFrom;
  return blocks ? threads_ : 1;
}

OperationResult ZipReader::ExtractItem(uint32_t index, codec::OutStream* out, Progress* progress,
                                       PasswordCache* password, std::span<uint8_t> buffer,
                                       unsigned threads) const {
  const Item& item = directory_.items[index];
  const Entry& entry = directory_.entries[index];
  if (entry.overlaps) return OperationResult::kDataError;
  if (entry.encryption == Encryption::kUnsupported) return OperationResult::kUnsupportedMethod;
  const uint64_t packed_size = item.packed_size.value_or(0);
  if (entry.method == kMethodDeflate &&
      (packed_size > UINT64_MAX / kMaxDeflateRatio || item.size > packed_size * kMaxDeflateRatio))
    return OperationResult::kDataError;

  // Outside the try: the AES tag is still checked after a decoding failure.
  std::optional<RangeStream> raw;
  std::unique_ptr<ZipCryptoDecoder> zip_crypto;
  std::unique_ptr<WinZipAesDecoder> aes;
  try {
    const uint64_t data_start = DataStart(entry);
    const uint64_t archive_size = source_->Size();
    if (data_start > archive_size || archive_size - data_start < packed_size)
      return OperationResult::kUnexpectedEnd;
    raw.emplace(*source_, data_start, packed_size);
    codec::InStream* packed = &*raw;
    uint64_t compressed_size = packed_size;

    if (entry.encryption != Encryption::kNone) {
      const std::string* secret = password != nullptr ? password->Get() : nullptr;
      if (secret == nullptr) return OperationResult::kWrongPassword;
      if (entry.encryption == Encryption::kAes) {
        aes = std::make_unique<WinZipAesDecoder>(*raw, packed_size, entry.aes_strength,
                                                 Bytes(*secret));
        compressed_size -= WinZipAesDecoder::Overhead(entry.aes_strength);
        packed = aes.get();
      } else {
        if (packed_size < ZipCryptoDecoder::kHeaderSize) return OperationResult::kDataError;
        // With a data descriptor the CRC was not known when the header was
        // written, so the check byte comes from the DOS time instead.
        const uint8_t check_bytes[] = {static_cast<uint8_t>(item.crc.value_or(0) >> 24),
                                       static_cast<uint8_t>(entry.dos_time >> 8)};
        const bool descriptor = (entry.flags & kFlagDataDescriptor) != 0;
        zip_crypto = std::make_unique<ZipCryptoDecoder>(*raw, Bytes(*secret),
                                                        std::span(check_bytes, descriptor ? 2 : 1));
        compressed_size -= ZipCryptoDecoder::kHeaderSize;
        packed = zip_crypto.get();
      }
    }
    if (entry.method == kMethodStore && compressed_size != item.size)
      return OperationResult::kDataError;

    // Some writers give empty entries (folders mostly) a method but no data.
    const bool no_data = compressed_size == 0 && item.size == 0;
    const std::unique_ptr<codec::InStream> decoder =
        no_data ? nullptr : MakeDecoder(entry, item.size, *packed, threads);
    const uint32_t crc = Copy(decoder ? *decoder : *packed, out, item.size, progress, buffer);
    if (aes) aes->Finish();
    if (entry.check_crc && crc != item.crc) {
      // The traditional cipher's check byte lets one wrong password in 256
      // through; the CRC is what catches it.
      return zip_crypto ? OperationResult::kWrongPassword : OperationResult::kCrcError;
    }
    return OperationResult::kOk;
  } catch (const PasswordMismatch&) {
    return OperationResult::kWrongPassword;
  } catch (const codec::DataError& error) {
    if (zip_crypto) return OperationResult::kWrongPassword;
    // A wrong AES password that slipped past the two-byte verifier shows in
    // the authentication code.
    if (aes) {
      try {
        aes->Finish();
      } catch (const PasswordMismatch&) {
        return OperationResult::kWrongPassword;
      } catch (const codec::DataError&) {
      }
    }
    return dynamic_cast<const codec::UnexpectedEnd*>(&error) ? OperationResult::kUnexpectedEnd
                                                             : OperationResult::kDataError;
  } catch (const codec::Unsupported&) {
    return OperationResult::kUnsupportedMethod;
  }
}

}  // namespace

std::unique_ptr<ArchiveReader> OpenZip(std::shared_ptr<ArchiveSource> source,
                                       LocalTimeToFiletime local_time, OemTextDecoder oem_text) {
  Directory directory;
  try {
    directory = ReadDirectory(*source, {std::move(local_time), std::move(oem_text)});
  } catch (const TooManyItems& too_many) {
    return std::make_unique<UnlistedArchive>(too_many.count);
  } catch (const codec::UnexpectedEnd&) {
    throw OpenError("archive is truncated");
  }
  return std::make_unique<ZipReader>(std::move(source), std::move(directory));
}

}  // namespace cindral::format::zip
