// Compresses arbitrary bytes at a level and in pieces the first byte picks,
// and requires both our inflater and zlib's to give the bytes back, from the
// pieces joined and from the whole; the same input twice gives the same
// bytes, whatever the reused encoder saw before.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "engine/codec/deflate.h"
#include "tests/engine/codec/raw_inflate.h"

namespace {

using cindral::codec::DeflatePiece;
using cindral::codec::DeflateWhole;
using cindral::codec::testing::Inflated;
using cindral::codec::testing::InflateWithOurs;
using cindral::codec::testing::InflateWithZlib;

void ExpectRoundTrip(const std::vector<uint8_t>& packed, std::span<const uint8_t> data) {
  const std::vector<uint8_t> original(data.begin(), data.end());
  const Inflated ours = InflateWithOurs(packed, data.size());
  if (ours.data != original || ours.input != packed.size()) std::abort();
  const Inflated zlib = InflateWithZlib(packed, data.size());
  if (zlib.data != original || zlib.zlib_status != Z_STREAM_END || zlib.input != 0) std::abort();
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
