// Deflate encoding (RFC 1951), one piece at a time. A long input is cut into
// pieces that are compressed independently (each primed with the input just
// before it) and simply concatenated, so pieces can be compressed on several
// threads and the result is still one valid Deflate stream. Levels 1 to 9
// trade speed for size: greedy matching up to 3, lazy up to 6, then a
// deeper search looking two positions ahead.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace cindral::codec {

// Deflate keeps at most this much history; priming with more gains nothing.
constexpr size_t kDeflateWindow = 32768;

// Appends the encoding of data to out. dictionary: up to the last 32 KiB of
// input before data (empty for the first piece). last: the piece ends the
// stream; otherwise it ends on a byte boundary, ready for the next piece.
// A piece that would not shrink is appended as stored blocks instead, so no
// piece costs more than a few bytes over its raw size.
void DeflatePiece(std::span<const uint8_t> dictionary, std::span<const uint8_t> data, int level,
                  bool last, std::vector<uint8_t>& out);

// Compresses data as one whole stream at level; the result may be a few
// bytes larger than data (the caller then stores the data instead). The
// bytes depend only on data and level.
std::vector<uint8_t> DeflateWhole(std::span<const uint8_t> data, int level);

}  // namespace cindral::codec
