// PPMd (7z, variant H) decode speed against `7zz t` on the same .7z, measured
// in one run.
#include "bench/bench_util.h"
#include "engine/codec/ppmd7.h"

#include <cstdio>

using namespace cindral;

namespace {

// The 5 property bytes follow the coder record 23 03 04 01 05 in the plain
// (-mhc=off) header.
bench::Bytes PpmdProperties(const bench::Bytes& archive) {
  const uint8_t record[] = {0x23, 0x03, 0x04, 0x01, 0x05};
  for (size_t i = archive.size() - 10; i-- > 32;) {
    if (std::equal(record, record + 5, archive.begin() + std::ptrdiff_t(i)))
      return bench::Bytes(archive.begin() + std::ptrdiff_t(i) + 5,
                          archive.begin() + std::ptrdiff_t(i) + 10);
  }
  throw std::runtime_error("no PPMd coder in the archive");
}

void Measure(const std::string& dir, const bench::Bytes& data, const std::string& params) {
  const std::string archive = dir + "/a.7z";
  bench::Run("rm -f " + archive + " && 7zz a -bso0 -bsp0 -t7z -mhc=off -mmt=1 -m0=PPMd" + params +
             " " + archive + " " + dir + "/data.bin");
  const bench::Bytes file = bench::ReadFile(archive);
  const bench::Bytes packed = bench::SevenZipPackedStream(file);
  const bench::Bytes props = PpmdProperties(file);

  bench::Bytes buffer(1 << 16);
  size_t total = 0;
  const double ours = bench::BestOf(2, bench::Clock::kCpu, [&] {
    codec::MemoryInStream source(packed);
    codec::Ppmd7Decoder decoder(source, props, data.size());
    total = 0;
    while (size_t got = decoder.Read(buffer.data(), buffer.size())) total += got;
  });
  if (total != data.size()) throw std::runtime_error("PPMd decode size mismatch");
  const double peer = bench::BestOf(2, bench::Clock::kChildCpu,
                                    [&] { bench::Run("7zz t -bso0 -bsp0 -mmt=1 " + archive); });
  const double mb = double(data.size()) / 1e6;
  std::printf("PPMd%s: %.1f MB -> %.1f MB\n", params.c_str(), mb, double(packed.size()) / 1e6);
  std::printf("  ours            %7.1f MB/s\n", mb / ours);
  std::printf("  7zz t -mmt=1    %7.1f MB/s  ratio ours/peer (CPU time) %.2f\n", mb / peer,
              peer / ours);
}

}  // namespace

int main() {
  const std::string dir = "bench-ppmd.tmp";
  bench::Run("rm -rf " + dir + " && mkdir " + dir);
  const bench::Bytes data = bench::Corpus(12 << 20);
  bench::WriteFile(dir + "/data.bin", data);
  Measure(dir, data, "");
  Measure(dir, data, ":o=16:mem=64m");
  bench::Run("rm -rf " + dir);
}
