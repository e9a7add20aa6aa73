// Decoding one raw Deflate stream with our inflater and with zlib's, for the
// encoder's tests and its fuzz target, which judge the results each its own
// way.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/codec/inflate.h"

namespace cindral::codec::testing {

struct Inflated {
  std::vector<uint8_t> data;
  // Ours: input bytes the stream occupied. zlib: input left over.
  uint64_t input;
  int zlib_status = Z_STREAM_END;
};

// One byte more room than expected, so that a stream yielding too much shows.
inline Inflated InflateWithOurs(const std::vector<uint8_t>& packed, size_t size) {
  MemoryInStream source(packed);
  InflateDecoder decoder(source, DeflateVariant::kDeflate);
  std::vector<uint8_t> out(size + 1);
  size_t got = 0;
  for (size_t n; got < out.size() && (n = decoder.Read(out.data() + got, out.size() - got)) != 0;)
    got += n;
  out.resize(got);
  return {std::move(out), decoder.InputConsumed()};
}

inline Inflated InflateWithZlib(const std::vector<uint8_t>& packed, size_t size) {
  z_stream stream{};
  inflateInit2(&stream, -15);
  std::vector<uint8_t> out(size + 1);
  stream.next_in = const_cast<Bytef*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&stream, Z_FINISH);
  inflateEnd(&stream);
  out.resize(out.size() - stream.avail_out);
  return {std::move(out), stream.avail_in, status};
}

}  // namespace cindral::codec::testing
