// 7z archive test speed (whole reader: headers, folder graph, LZMA2, CRCs)
// against `7zz t` on the same archives, measured in one run.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bench/bench_util.h"
#include "engine/format/sevenz/sevenz_reader.h"

using namespace cindral;

namespace {

class NoPassword final : public format::PasswordSource {
 public:
  std::optional<std::u16string> Password() override { return std::nullopt; }
};

class CheckingSink final : public format::ExtractSink {
 public:
  codec::OutStream* BeginItem(uint32_t) override { return nullptr; }
  void EndItem(uint32_t, format::OperationResult result) override {
    if (result != format::OperationResult::kOk) throw std::runtime_error("7z item failed");
  }
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}
  std::optional<std::u16string> Password() override { return std::nullopt; }
};

void Measure(const std::string& label, const std::string& archive, double megabytes) {
  NoPassword passwords;
  const auto reader = format::sevenz::OpenSevenZip(
      std::make_shared<format::MemorySource>(bench::ReadFile(archive)), passwords);
  CheckingSink sink;
  const auto ours = [&](unsigned threads, bench::Clock clock) {
    reader->SetThreadCount(threads);
    return bench::BestOf(3, clock, [&] { reader->Extract({}, true, sink); });
  };
  // One thread on CPU time (the machine is shared), two threads on wall time.
  const double ours1 = ours(1, bench::Clock::kCpu);
  const double ours2 = ours(2, bench::Clock::kWall);
  const double peer1 = bench::BestOf(3, bench::Clock::kChildCpu,
                                     [&] { bench::Run("7zz t -bso0 -bsp0 -mmt=1 " + archive); });
  const double peer2 = bench::BestOf(3, bench::Clock::kWall,
                                     [&] { bench::Run("7zz t -bso0 -bsp0 -mmt=2 " + archive); });
  std::printf("%s, %.1f MB\n", label.c_str(), megabytes);
  std::printf("  1 thread (CPU)    ours %7.1f MB/s  7zz -mmt=1 %7.1f MB/s  ratio ours/peer %.2f\n",
              megabytes / ours1, megabytes / peer1, peer1 / ours1);
  std::printf("  2 threads (wall)  ours %7.1f MB/s  7zz -mmt=2 %7.1f MB/s  ratio ours/peer %.2f\n",
              megabytes / ours2, megabytes / peer2, peer2 / ours2);
}

}  // namespace

int main() {
  const std::string dir = "bench-sevenz.tmp";
  bench::Run("rm -rf " + dir + " && mkdir -p " + dir + "/files");
  const bench::Bytes data = bench::Corpus(32 << 20);
  constexpr size_t kFiles = 8;
  const size_t part = data.size() / kFiles;
  for (size_t i = 0; i < kFiles; ++i) {
    bench::WriteFile(dir + "/files/f" + std::to_string(i) + ".txt",
                     bench::Bytes(data.begin() + std::ptrdiff_t(i * part),
                                  data.begin() + std::ptrdiff_t((i + 1) * part)));
  }
  bench::Run("cd " + dir + "/files && 7zz a -bso0 -bsp0 -ms=off -mmt=2 ../nonsolid.7z .");
  bench::Run("cd " + dir + "/files && 7zz a -bso0 -bsp0 -mmt=2 -md=1m ../solid.7z .");
  const double mb = double(data.size()) / 1e6;
  Measure("LZMA2 non-solid, 8 folders", dir + "/nonsolid.7z", mb);
  Measure("LZMA2 solid, 1 MiB dictionary blocks", dir + "/solid.7z", mb);
  bench::Run("rm -rf " + dir);
}
