// BZip2 decode speed against `7zz t` on the same .7z, measured in one run.
#include "bench/bench_util.h"
#include "engine/codec/bzip2.h"

#include <cstdio>
#include <thread>

using namespace cindral;

int main() {
  const std::string dir = "bench-bzip2.tmp";
  bench::Run("rm -rf " + dir + " && mkdir " + dir);
  const bench::Bytes data = bench::Corpus(24 << 20);
  bench::WriteFile(dir + "/data.bin", data);
  const std::string archive = dir + "/a.7z";
  bench::Run("7zz a -bso0 -bsp0 -t7z -m0=BZip2 -mhc=off -mmt=1 " + archive + " " + dir +
             "/data.bin");
  const bench::Bytes packed = bench::SevenZipPackedStream(bench::ReadFile(archive));

  auto decode = [&](unsigned threads) {
    bench::Bytes buffer(1 << 16);
    codec::MemoryInStream source(packed);
    codec::Bzip2Decoder decoder(source, threads);
    size_t total = 0;
    while (size_t got = decoder.Read(buffer.data(), buffer.size())) total += got;
    if (total != data.size()) throw std::runtime_error("bzip2 decode size mismatch");
  };
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  const double ours_cpu = bench::BestOf(3, bench::Clock::kCpu, [&] { decode(1); });
  const double peer_cpu = bench::BestOf(3, bench::Clock::kChildCpu,
                                        [&] { bench::Run("7zz t -bso0 -bsp0 -mmt=1 " + archive); });
  const double ours_wall = bench::BestOf(3, bench::Clock::kWall, [&] { decode(threads); });
  const double peer_wall =
      bench::BestOf(3, bench::Clock::kWall, [&] { bench::Run("7zz t -bso0 -bsp0 " + archive); });

  const double mb = double(data.size()) / 1e6;
  std::printf("bzip2 decode %.1f MB (%.1f MB packed)\n", mb, double(packed.size()) / 1e6);
  std::printf("  one thread, CPU time: ours %6.1f MB/s, 7zz t -mmt=1 %6.1f MB/s, ratio %.2f\n",
              mb / ours_cpu, mb / peer_cpu, peer_cpu / ours_cpu);
  std::printf("  %u threads, wall time: ours %6.1f MB/s, 7zz t %6.1f MB/s, ratio %.2f\n", threads,
              mb / ours_wall, mb / peer_wall, peer_wall / ours_wall);
  bench::Run("rm -rf " + dir);
}
