// Shared helpers of the LZMA family tests: liblzma as the reference encoder
// and generated inputs with the structure real files have.
#pragma once

#include <gtest/gtest.h>
#include <lzma.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/codec/stream.h"
#include "tests/engine/codec/read_all.h"

namespace cindral::codec::testing {

using Bytes = std::vector<uint8_t>;

// Text-like runs, repeats at many distances, noise and zero runs: exercises
// literals, matched literals, all repeat kinds and long distances.
inline Bytes MixedData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size);
  static const char* const kWords[] = {"archive ", "window ", "literal ", "match ", "the ",
                                       "of ",      "stream ", "\n",       "0123",   "zz"};
  while (out.size() < size) {
    switch (rng() % 5) {
      case 0:
        for (int i = 0; i < 20; ++i)
          for (const char* w = kWords[rng() % 10]; *w; ++w) out.push_back(static_cast<uint8_t>(*w));
        break;
      case 1:
        if (out.size() > 16) {
          const size_t distance = 1 + rng() % std::min<size_t>(out.size() - 1, 1 << (rng() % 20));
          const size_t length = 2 + rng() % 300;
          for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
        }
        break;
      case 2:
        for (int i = 0, n = 1 + rng() % 64; i < n; ++i) out.push_back(static_cast<uint8_t>(rng()));
        break;
      case 3:
        out.insert(out.end(), rng() % 100, 0);
        break;
      default:
        for (int i = 0, n = rng() % 200; i < n; ++i)
          out.push_back(static_cast<uint8_t>('a' + rng() % 3));
    }
  }
  out.resize(size);
  return out;
}

// 32-bit words, half of them repeats of recent ones: compressible, yet every
// opcode pattern a branch filter looks for turns up.
inline Bytes CodeLikeData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  std::vector<uint32_t> recent(64, 0);
  while (out.size() < size) {
    uint32_t word = (rng() & 1) ? recent[rng() % 64] : static_cast<uint32_t>(rng());
    recent[rng() % 64] = word;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(word >> (8 * i)));
  }
  out.resize(size);
  return out;
}

inline Bytes RawEncode(const lzma_filter* filters, const Bytes& data) {
  Bytes out(data.size() + data.size() / 2 + 4096);
  size_t out_pos = 0;
  const lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(),
                                              out.data(), &out_pos, out.size());
  if (ret != LZMA_OK) throw std::runtime_error("liblzma encoder failed");
  out.resize(out_pos);
  return out;
}

}  // namespace cindral::codec::testing
