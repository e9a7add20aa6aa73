// Byte streams shared by every codec and container of the engine. Portable:
// no platform header may be included here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

namespace cindral::codec {

// Malformed compressed or container data. Containers map it to a data error
// of the item being decoded.
struct DataError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The input ended before the data it carries did.
struct UnexpectedEnd : DataError {
  using DataError::DataError;
};

// A method, filter or feature this engine does not implement.
struct Unsupported : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A pull source of bytes. Read stores up to size bytes and returns how many it
// stored; it returns fewer than size only at the end of the data, and 0 from
// then on. Failures are thrown, never reported as a short read.
class InStream {
 public:
  virtual ~InStream() = default;
  virtual size_t Read(uint8_t* data, size_t size) = 0;
};

// A push sink of bytes. Write takes all size bytes or throws.
class OutStream {
 public:
  virtual ~OutStream() = default;
  virtual void Write(const uint8_t* data, size_t size) = 0;
};

// Reads a byte range that already lies in memory.
class MemoryInStream final : public InStream {
 public:
  explicit MemoryInStream(std::span<const uint8_t> data) : data_(data) {}
  size_t Read(uint8_t* data, size_t size) override;

 private:
  std::span<const uint8_t> data_;
  size_t position_ = 0;
};

// Reads and drops count bytes; throws UnexpectedEnd when fewer are there.
void SkipBytes(InStream& stream, uint64_t count);

}  // namespace cindral::codec
