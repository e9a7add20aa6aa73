// Writes a new ZIP archive from items a host describes one after another.
// Portable: no platform header may be included here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/codec/stream.h"

namespace cindral::format::zip {

struct WriteItem {
  std::u16string name;  // '/' separators; folders without the trailing '/'
  bool is_directory = false;
  uint64_t size = 0;  // as announced; the bytes the stream yields are what is stored
  uint32_t attributes = 0;
  uint64_t modification_time = 0;  // FILETIME ticks, 0 when unknown
  uint32_t dos_time = 0;           // the same instant as local DOS date (high) and time (low)
};

// What the writer asks of its host, always on the calling thread and in item
// order. Every call may throw HostStop to end the write with that code.
class WriteSource {
 public:
  virtual ~WriteSource() = default;
  virtual uint32_t ItemCount() = 0;
  virtual WriteItem Item(uint32_t index) = 0;
  // The item's data, null for a folder; nullopt leaves the item out.
  // The stream stays valid until the next call to Open or ItemWritten.
  virtual std::optional<codec::InStream*> Open(uint32_t index) = 0;
  // The item's data has been read completely.
  virtual void ItemWritten(uint32_t index) = 0;
  virtual void SetTotal(uint64_t total) = 0;
  virtual void SetCompleted(uint64_t completed) = 0;
};

// Where the archive goes. Seeking lets local headers be patched in place;
// without it, large entries carry data descriptors instead.
class WriteTarget {
 public:
  virtual ~WriteTarget() = default;
  virtual void Write(const uint8_t* data, size_t size) = 0;
  virtual bool CanSeek() = 0;
  virtual void Seek(uint64_t position) = 0;
};

struct WriteOptions {
  unsigned threads = 1;
  int level = 5;  // 0 stores every entry; 1..9 are Deflate levels
};

// Input is cut into pieces of this size for parallel compression; it is a
// constant so that the archive's bytes never depend on the thread count.
constexpr size_t kPieceSize = size_t{1} << 20;

void WriteZip(WriteSource& source, WriteTarget& target, const WriteOptions& options);

}  // namespace cindral::format::zip
