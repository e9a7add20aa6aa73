#include <zlib.h>

#include "engine/codec/inflate.h"

namespace cindral::codec {

struct InflateDecoder::State {
  explicit State(InStream& in) : source(in) {
    if (inflateInit2(&stream, -15) != Z_OK) throw std::runtime_error("zlib init failed");
  }
  ~State() { inflateEnd(&stream); }

  InStream& source;
  z_stream stream{};
  uint8_t input[16384];
  bool finished = false;
  uint64_t consumed = 0;
};

InflateDecoder::InflateDecoder(InStream& source, DeflateVariant variant)
    : state_(std::make_unique<State>(source)) {
  if (variant == DeflateVariant::kDeflate64) throw Unsupported("Deflate64 is not in zlib");
}

InflateDecoder::~InflateDecoder() = default;

size_t InflateDecoder::Read(uint8_t* data, size_t size) {
  State& s = *state_;
  z_stream& z = s.stream;
  z.next_out = data;
  z.avail_out = static_cast<uInt>(size);
  while (z.avail_out != 0 && !s.finished) {
    if (z.avail_in == 0) {
      z.next_in = s.input;
      z.avail_in = static_cast<uInt>(s.source.Read(s.input, sizeof s.input));
      if (z.avail_in == 0) throw UnexpectedEnd("deflate stream is truncated");
    }
    const uInt before = z.avail_in;
    const int status = inflate(&z, Z_NO_FLUSH);
    s.consumed += before - z.avail_in;
    if (status == Z_STREAM_END)
      s.finished = true;
    else if (status != Z_OK)
      throw DataError("invalid deflate data");
  }
  return size - z.avail_out;
}

uint64_t InflateDecoder::InputConsumed() const { return state_->consumed; }

}  // namespace cindral::codec
