// The portable face of an archive reader: what the Windows adapter turns into
// the archive-handler interfaces. No platform header may be included here.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/codec/stream.h"

namespace cindral::format {

// Per-item results, numbered as the archive-handler interfaces number them.
enum class OperationResult : int32_t {
  kOk = 0,
  kUnsupportedMethod = 1,
  kDataError = 2,
  kCrcError = 3,
  kUnavailable = 4,
  kUnexpectedEnd = 5,
  kDataAfterEnd = 6,
  kNotArchive = 7,
  kHeadersError = 8,
  kWrongPassword = 9,
};

// Random access to the archive's bytes. The adapter serialises calls, so a
// reader may use one source from several threads.
class ArchiveSource {
 public:
  virtual ~ArchiveSource() = default;
  virtual uint64_t Size() = 0;
  // Stores exactly size bytes from offset, or throws codec::UnexpectedEnd.
  virtual void ReadAt(uint64_t offset, uint8_t* data, size_t size) = 0;
};

// An archive that already lies in memory, for the tests, fuzzers and
// benchmarks of the readers.
class MemorySource final : public ArchiveSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() override { return bytes_.size(); }
  void ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset)
      throw codec::UnexpectedEnd("read beyond the archive");
    std::memcpy(data, bytes_.data() + offset, size);
  }

 private:
  std::vector<uint8_t> bytes_;
};

// Times are Windows FILETIME values: 100-nanosecond ticks since 1601 UTC.
struct Item {
  std::u16string path;  // exactly as stored, '/' or '\' untouched
  bool is_directory = false;
  uint64_t size = 0;
  std::optional<uint64_t> packed_size;
  std::optional<uint32_t> attributes;
  std::optional<uint64_t> creation_time;
  std::optional<uint64_t> access_time;
  std::optional<uint64_t> modification_time;
  bool encrypted = false;
  std::optional<uint32_t> crc;
  bool is_anti = false;
  std::u16string method;
  std::optional<std::u16string> comment;
  std::optional<uint32_t> posix_mode;
};

// The host stopped the operation (a callback answered other than S_OK); the
// adapter hands the code back unchanged.
struct HostStop {
  int32_t code;
};

// Raised by Open when the bytes are not an archive of the reader's format, or
// its headers are damaged beyond use.
struct OpenError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Raised by Open for one volume of an archive split over several files: the
// archive may be sound, but the engine reads only archives in one piece.
struct SplitArchive : OpenError {
  using OpenError::OpenError;
};

// Where a reader delivers what it extracts. Every call may throw HostStop.
class ExtractSink {
 public:
  virtual ~ExtractSink() = default;
  // Called once per requested item, in index order, before its data. Returns
  // where to write the item, or null to decode it without keeping the bytes.
  virtual codec::OutStream* BeginItem(uint32_t index) = 0;
  virtual void EndItem(uint32_t index, OperationResult result) = 0;
  // Called with the total of unpacked bytes of the requested items, once.
  virtual void SetTotal(uint64_t total) = 0;
  // Unpacked bytes done so far; called at least every few megabytes.
  virtual void SetCompleted(uint64_t completed) = 0;
  // Asked only when an encrypted item is met; nullopt when none is given.
  // Readers ask once per operation and reuse the answer.
  virtual std::optional<std::u16string> Password() = 0;
};

// Asked for a password while headers are read (encrypted 7z headers).
class PasswordSource {
 public:
  virtual ~PasswordSource() = default;
  virtual std::optional<std::u16string> Password() = 0;
};

// Listings are built for at most this many entries. An archive that lists
// more opens with its count alone (see UnlistedArchive), so that a host can
// refuse it by that count before a single entry costs memory.
constexpr uint64_t kMaxListedItems = 10000000;

// Raised while headers are read, before the listing is built.
struct TooManyItems : OpenError {
  explicit TooManyItems(uint64_t listed)
      : OpenError("archive lists too many entries"), count(listed) {}
  uint64_t count;
};

class ArchiveReader {
 public:
  virtual ~ArchiveReader() = default;
  virtual const std::vector<Item>& Items() const = 0;
  // The entries the archive lists; more than Items() holds for an archive
  // opened by its count alone.
  virtual uint64_t ItemCount() const { return Items().size(); }
  // indices: ascending item indices; an empty span means every item.
  // test: verify only, BeginItem's result is ignored.
  virtual void Extract(std::span<const uint32_t> indices, bool test, ExtractSink& sink) = 0;
  virtual void SetThreadCount(unsigned threads) = 0;
};

// An archive that lists more than kMaxListedItems entries: its count and
// nothing else; it lists no items and extracts nothing.
class UnlistedArchive final : public ArchiveReader {
 public:
  explicit UnlistedArchive(uint64_t count) : count_(count) {}
  const std::vector<Item>& Items() const override { return none_; }
  uint64_t ItemCount() const override { return count_; }
  void Extract(std::span<const uint32_t>, bool, ExtractSink&) override {
    throw OpenError("archive lists too many entries");
  }
  void SetThreadCount(unsigned) override {}

 private:
  uint64_t count_;
  std::vector<Item> none_;
};

}  // namespace cindral::format
