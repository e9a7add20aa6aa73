// Feeds arbitrary bytes to the inflater as a raw stream. The first byte picks
// the variant and the read size; for Deflate, zlib's verdict is the reference.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/codec/inflate.h"

namespace {

using cindral::codec::DataError;
using cindral::codec::DeflateVariant;
using cindral::codec::InflateDecoder;
using cindral::codec::MemoryInStream;
using cindral::codec::UnexpectedEnd;

constexpr size_t kMaxOutput = 8 << 20;

enum class Outcome { kDecoded, kInvalid, kTruncated, kTooLong };

Outcome Ours(const uint8_t* data, size_t size, DeflateVariant variant, size_t read_size,
             std::vector<uint8_t>& output, uint64_t& consumed) {
  MemoryInStream source({data, size});
  InflateDecoder decoder(source, variant);
  std::vector<uint8_t> buffer(read_size);
  try {
    for (;;) {
      const size_t got = decoder.Read(buffer.data(), buffer.size());
      output.insert(output.end(), buffer.begin(), buffer.begin() + got);
      if (got < buffer.size()) break;
      // One-byte reads cost the harness far more than the decoder: a
      // shorter limit keeps every input fast.
      if (output.size() > (read_size < 64 ? kMaxOutput / 16 : kMaxOutput)) return Outcome::kTooLong;
    }
  } catch (const UnexpectedEnd&) {
    return Outcome::kTruncated;
  } catch (const DataError&) {
    return Outcome::kInvalid;
  }
  consumed = decoder.InputConsumed();
  return Outcome::kDecoded;
}

Outcome Zlib(const uint8_t* data, size_t size, std::vector<uint8_t>& output, uint64_t& consumed) {
  z_stream stream{};
  inflateInit2(&stream, -15);
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  uint8_t buffer[65536];
  int status;
  do {
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    output.insert(output.end(), buffer, stream.next_out);
  } while (status == Z_OK && output.size() <= kMaxOutput);
  consumed = stream.total_in;
  inflateEnd(&stream);
  if (status == Z_STREAM_END) return Outcome::kDecoded;
  if (status == Z_DATA_ERROR) return Outcome::kInvalid;
  if (output.size() > kMaxOutput) return Outcome::kTooLong;
  return Outcome::kTruncated;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  ++data;
  --size;
  const DeflateVariant variant =
      control & 1 ? DeflateVariant::kDeflate64 : DeflateVariant::kDeflate;
  static const size_t kReadSizes[] = {1, 7, 4096, 1 << 20};
  const size_t read_size = kReadSizes[(control >> 1) & 3];

  std::vector<uint8_t> ours;
  uint64_t ours_consumed = 0;
  const Outcome ours_outcome = Ours(data, size, variant, read_size, ours, ours_consumed);
  if (variant == DeflateVariant::kDeflate64) return 0;

  std::vector<uint8_t> zlib;
  uint64_t zlib_consumed = 0;
  const Outcome zlib_outcome = Zlib(data, size, zlib, zlib_consumed);
  if (ours_outcome == Outcome::kTooLong || zlib_outcome == Outcome::kTooLong) return 0;
  // Both must decode the same, or both fail. Which failure may differ: an
  // empty code length code makes zlib read on until the stream's end, while
  // it is rejected here at once.
  if ((ours_outcome == Outcome::kDecoded) != (zlib_outcome == Outcome::kDecoded)) std::abort();
  if (ours_outcome == Outcome::kDecoded && (ours != zlib || ours_consumed != zlib_consumed))
    std::abort();
  return 0;
}
