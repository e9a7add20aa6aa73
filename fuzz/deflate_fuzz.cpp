// Compresses arbitrary bytes at a level and in pieces the first byte picks,
// and requires both our inflater and zlib's to give the bytes back, from the
// pieces joined and from the whole; the same input twice gives the same
// bytes, whatever the reused encoder saw before.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "engine/codec/deflate.h"
#include "engine/codec/inflate.h"

namespace {

using cindral::codec::DeflatePiece;
using cindral::codec::DeflateWhole;

std::vector<uint8_t> Ours(const std::vector<uint8_t>& packed, size_t size) {
  cindral::codec::MemoryInStream source(packed);
  cindral::codec::InflateDecoder decoder(source, cindral::codec::DeflateVariant::kDeflate);
  std::vector<uint8_t> out(size + 1);
  size_t got = 0;
  while (got < out.size()) {
    const size_t n = decoder.Read(out.data() + got, out.size() - got);
    if (n == 0) break;
    got += n;
  }
  out.resize(got);
  if (decoder.InputConsumed() != packed.size()) std::abort();
  return out;
}

std::vector<uint8_t> Zlib(const std::vector<uint8_t>& packed, size_t size) {
  z_stream stream{};
  inflateInit2(&stream, -15);
  std::vector<uint8_t> out(size + 1);
  stream.next_in = const_cast<Bytef*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&stream, Z_FINISH);
  inflateEnd(&stream);
  if (status != Z_STREAM_END || stream.avail_in != 0) std::abort();
  out.resize(out.size() - stream.avail_out);
  return out;
}

void ExpectRoundTrip(const std::vector<uint8_t>& packed, std::span<const uint8_t> data) {
  const std::vector<uint8_t> original(data.begin(), data.end());
  if (Ours(packed, data.size()) != original) std::abort();
  if (Zlib(packed, data.size()) != original) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = bytes[0];
  const std::span<const uint8_t> data(bytes + 1, size - 1);
  const int level = control % 9 + 1;
  static const size_t kPieceSizes[] = {2, 7, 100, 4096, 40000, 1 << 20};
  const size_t piece = kPieceSizes[(control / 9) % 6];

  const std::vector<uint8_t> whole = DeflateWhole(data, level);
  ExpectRoundTrip(whole, data);

  std::vector<uint8_t> pieces;
  size_t at = 0;
  do {
    const size_t length = std::min(piece, data.size() - at);
    const size_t dictionary = std::min(at, cindral::codec::kDeflateWindow);
    DeflatePiece(data.subspan(at - dictionary, dictionary), data.subspan(at, length), level,
                 at + length == data.size(), pieces);
    at += length;
  } while (at < data.size());
  ExpectRoundTrip(pieces, data);

  if (DeflateWhole(data, level) != whole) std::abort();
  return 0;
}
