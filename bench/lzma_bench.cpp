// LZMA and LZMA2 decoding against 7zz on the same .7z archives, in one run:
// 7zz is timed as an external `7zz t` process; ours decodes the very packed
// stream the archive holds, from memory.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/codec/lzma.h"
#include "engine/codec/lzma2.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using cindral::codec::InStream;

namespace {

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Text and binaries of this machine, up to size bytes.
Bytes MakeCorpus(size_t size) {
  Bytes corpus;
  for (const char* root : {"/usr/include", "/usr/lib/x86_64-linux-gnu", "/usr/share/doc"}) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it);
         it.increment(ec)) {
      if (ec || !it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      const Bytes file = ReadFile(it->path());
      corpus.insert(corpus.end(), file.begin(), file.end());
      if (corpus.size() >= size) {
        corpus.resize(size);
        return corpus;
      }
      if (corpus.size() > size / 3 && std::string(root) == "/usr/include") break;
    }
  }
  return corpus;
}

// Wall time, and the processor time spent, which the other work on a shared
// machine disturbs less.
struct Timing {
  double wall = 1e9;
  double cpu = 1e9;
};

double CpuSeconds(int who) {
  rusage usage;
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(const std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Timing TimeCommand(const std::string& command) {
  const double cpu = CpuSeconds(RUSAGE_CHILDREN);
  const auto start = std::chrono::steady_clock::now();
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  return {Seconds(start), CpuSeconds(RUSAGE_CHILDREN) - cpu};
}

// One file, one folder, one coder, plain header: the packed stream is all
// bytes between the signature header and the header, and the coder's
// properties follow its method id in the header.
struct Packed {
  Bytes stream;
  Bytes properties;
};

Packed ExtractPacked(const fs::path& archive, bool lzma2) {
  const Bytes data = ReadFile(archive);
  uint64_t header_offset = 0;
  for (int i = 0; i < 8; ++i) header_offset |= uint64_t{data[12 + i]} << (8 * i);
  Packed packed;
  packed.stream.assign(data.begin() + 32,
                       data.begin() + 32 + static_cast<ptrdiff_t>(header_offset));
  const Bytes id = lzma2 ? Bytes{0x21, 0x21, 0x01} : Bytes{0x23, 0x03, 0x01, 0x01, 0x05};
  const size_t props = lzma2 ? 1 : 5;
  for (size_t i = 32 + header_offset; i + id.size() + props <= data.size(); ++i) {
    if (std::equal(id.begin(), id.end(), data.begin() + static_cast<ptrdiff_t>(i))) {
      const auto at = data.begin() + static_cast<ptrdiff_t>(i + id.size());
      packed.properties.assign(at, at + static_cast<ptrdiff_t>(props));
      return packed;
    }
  }
  std::fprintf(stderr, "no coder properties in %s\n", archive.c_str());
  std::exit(1);
}

Timing TimeDecode(InStream& decoder, size_t expected) {
  const double cpu = CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> buffer(1 << 20);
  size_t total = 0, got;
  while ((got = decoder.Read(buffer.data(), buffer.size())) != 0) total += got;
  const Timing timing{Seconds(start), CpuSeconds(RUSAGE_SELF) - cpu};
  if (total != expected) {
    std::fprintf(stderr, "decoded %zu bytes, expected %zu\n", total, expected);
    std::exit(1);
  }
  return timing;
}

void KeepBest(Timing& best, const Timing& run) {
  best.wall = std::min(best.wall, run.wall);
  best.cpu = std::min(best.cpu, run.cpu);
}

template <typename MakeDecoder>
Timing BestOf(int runs, MakeDecoder make, size_t expected) {
  Timing best;
  for (int i = 0; i < runs; ++i) {
    auto decoder = make();
    KeepBest(best, TimeDecode(*decoder.second, expected));
  }
  return best;
}

Timing BestCommand(int runs, const std::string& command) {
  Timing best;
  for (int i = 0; i < runs; ++i) KeepBest(best, TimeCommand(command));
  return best;
}

// Ratios are our speed over 7zz's: above 1 means faster.
void Report(const char* what, size_t size, const Timing& ours, const Timing& peer) {
  const double mb = static_cast<double>(size) / 1e6;
  std::printf("%-31s ours %6.1f MB/s  7zz %6.1f MB/s  ratio %.2fx  (cpu: %.2fs vs %.2fs, %.2fx)\n",
              what, mb / ours.wall, mb / peer.wall, peer.wall / ours.wall, ours.cpu, peer.cpu,
              peer.cpu / ours.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t size = argc > 1 ? std::stoul(argv[1]) << 20 : size_t{48} << 20;
  const int runs = 3;
  const fs::path dir =
      fs::temp_directory_path() / ("cindral_lzma_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const Bytes corpus = MakeCorpus(size);
  {
    std::ofstream out(dir / "corpus.bin", std::ios::binary);
    out.write(reinterpret_cast<const char*>(corpus.data()),
              static_cast<std::streamsize>(corpus.size()));
  }
  const std::string file = (dir / "corpus.bin").string();
  const std::string lzma_7z = (dir / "lzma.7z").string();
  const std::string lzma2_7z = (dir / "lzma2.7z").string();
  TimeCommand("7zz a -t7z -mhc=off -m0=lzma -mx=5 -mmt=2 " + lzma_7z + " " + file);
  // 7zz 26 keeps one LZMA2 block for -md=1m alone; c= sets the block size.
  TimeCommand("7zz a -t7z -mhc=off -m0=lzma2:d=1m:c=4m -mx=5 -mmt=2 " + lzma2_7z + " " + file);
  std::printf("corpus %.1f MB of text and binaries, best of %d runs\n", corpus.size() / 1e6, runs);

  const Packed lzma = ExtractPacked(lzma_7z, false);
  const Timing ours_lzma = BestOf(
      runs,
      [&] {
        auto source = std::make_unique<cindral::codec::MemoryInStream>(lzma.stream);
        auto decoder =
            std::make_unique<cindral::codec::LzmaDecoder>(*source, lzma.properties, corpus.size());
        return std::pair{std::move(source), std::move(decoder)};
      },
      corpus.size());
  Report("LZMA, 1 thread", corpus.size(), ours_lzma, BestCommand(runs, "7zz t -mmt=1 " + lzma_7z));

  const Packed lzma2 = ExtractPacked(lzma2_7z, true);
  for (const unsigned threads : {1u, 2u}) {
    const Timing ours = BestOf(
        runs,
        [&] {
          auto source = std::make_unique<cindral::codec::MemoryInStream>(lzma2.stream);
          auto decoder =
              std::make_unique<cindral::codec::Lzma2Decoder>(*source, lzma2.properties[0], threads);
          return std::pair{std::move(source), std::move(decoder)};
        },
        corpus.size());
    const std::string peer = threads == 1 ? "7zz t -mmt=1 " : "7zz t ";
    Report(threads == 1 ? "LZMA2 multi-block, 1 thread" : "LZMA2 multi-block, all threads",
           corpus.size(), ours, BestCommand(runs, peer + lzma2_7z));
  }
  fs::remove_all(dir);
  return 0;
}
