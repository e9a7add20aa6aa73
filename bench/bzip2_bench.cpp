// BZip2 decode speed against `7zz t` on the same .7z, measured in one run.
#include "bench/bench_util.h"
#include "engine/codec/bzip2.h"

#include <algorithm>
#include <cstdio>

using namespace cindral;

int main() {
  const std::string dir = "bench-bzip2.tmp";
  bench::Run("rm -rf " + dir + " && mkdir " + dir);
  const bench::Bytes data = bench::Corpus(24 << 20);
  bench::WriteFile(dir + "/data.bin", data);
  bench::Run("7zz a -bso0 -bsp0 -t7z -m0=BZip2 -mhc=off -mmt=1 " + dir + "/a.7z " + dir +
             "/data.bin");
  const bench::Bytes packed = bench::SevenZipPackedStream(bench::ReadFile(dir + "/a.7z"));

  bench::Bytes buffer(1 << 16);
  size_t total = 0;
  const double ours = bench::BestOf(3, [&] {
    codec::MemoryInStream source(packed);
    codec::Bzip2Decoder decoder(source);
    total = 0;
    while (size_t got = decoder.Read(buffer.data(), buffer.size())) total += got;
  });
  if (total != data.size()) throw std::runtime_error("bzip2 decode size mismatch");
  const double peer1 =
      bench::BestOf(3, [&] { bench::Run("7zz t -bso0 -bsp0 -mmt=1 " + dir + "/a.7z"); });
  const double peer = bench::BestOf(3, [&] { bench::Run("7zz t -bso0 -bsp0 " + dir + "/a.7z"); });

  const double mb = double(data.size()) / 1e6;
  std::printf("bzip2 decode %.1f MB (%.1f MB packed)\n", mb, double(packed.size()) / 1e6);
  std::printf("  ours (1 thread)   %7.1f MB/s\n", mb / ours);
  std::printf("  7zz t -mmt=1      %7.1f MB/s  ratio ours/peer %.2f\n", mb / peer1, peer1 / ours);
  std::printf("  7zz t (default)   %7.1f MB/s  ratio ours/peer %.2f\n", mb / peer, peer / ours);
  bench::Run("rm -rf " + dir);
}
