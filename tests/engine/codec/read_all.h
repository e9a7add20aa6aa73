// Draining a decoder in the codec tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/codec/stream.h"

namespace cindral::codec::testing {

// Reads everything, chunk bytes per call, to show results do not depend on
// the caller's buffer sizes.
inline std::vector<uint8_t> ReadAll(InStream& stream, size_t chunk = 65536) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> buffer(chunk);
  for (;;) {
    const size_t got = stream.Read(buffer.data(), chunk);
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(got));
    if (got < chunk) break;
  }
  return out;
}

}  // namespace cindral::codec::testing
