// libFuzzer target: the BZip2 decoder on arbitrary bytes, with one and with
// several threads; both must agree and neither may crash or hang.
#include "engine/codec/bzip2.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Outcome(const uint8_t* data, size_t size, unsigned threads) {
  using namespace cindral::codec;
  MemoryInStream source({data, size});
  Bzip2Decoder decoder(source, threads);
  std::string out;
  uint8_t buffer[4096];
  try {
    // Cap the output: a tiny input may legitimately expand a lot.
    while (out.size() < (64u << 20)) {
      const size_t got = decoder.Read(buffer, sizeof buffer);
      out.append(reinterpret_cast<const char*>(buffer), got);
      if (got < sizeof buffer) break;
    }
  } catch (const UnexpectedEnd&) {
    out += "|end";
  } catch (const DataError&) {
    out += "|data";
  } catch (const Unsupported&) {
    out += "|unsupported";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (Outcome(data, size, 1) != Outcome(data, size, 2)) std::abort();
  return 0;
}
