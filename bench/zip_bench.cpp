// ZIP reading (open, Deflate or AES, CRC) against `7zz t` on the same
// archives in the same run. Both are timed on the wall clock with the archive
// in the page cache: the peer is a process, so its start-up is in its time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/format/zip/zip_reader.h"

namespace {

namespace fs = std::filesystem;
using namespace cindral;
using Bytes = std::vector<uint8_t>;

class TestSink final : public format::ExtractSink {
 public:
  codec::OutStream* BeginItem(uint32_t) override { return nullptr; }
  void EndItem(uint32_t, format::OperationResult result) override {
    if (result != format::OperationResult::kOk) failures++;
  }
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}
  std::optional<std::u16string> Password() override { return u"secret"; }
  int failures = 0;
};

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

void WriteFile(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

// Many small text files and some larger binary ones.
void MakeTree(const fs::path& root) {
  std::mt19937 rng(2026);
  std::vector<std::string> words;
  for (int i = 0; i < 3000; ++i) {
    std::string word;
    for (int j = 2 + static_cast<int>(rng() % 8); j > 0; --j)
      word += static_cast<char>('a' + rng() % 26);
    words.push_back(word);
  }
  for (int i = 0; i < 1500; ++i) {
    std::string text;
    for (size_t size = 500 + rng() % 16000; text.size() < size;)
      text += words[rng() % words.size()] + (rng() % 10 ? " " : "\n");
    WriteFile(root / ("src" + std::to_string(i % 20)) / ("file" + std::to_string(i) + ".txt"),
              text);
  }
  // Record-like binary data: repeated structures with varying fields and
  // some noise, a few megabytes per file.
  for (int i = 0; i < 8; ++i) {
    std::string data;
    for (size_t size = 1'000'000 + rng() % 3'000'000; data.size() < size;) {
      const uint32_t id = static_cast<uint32_t>(data.size() / 64);
      data.append(reinterpret_cast<const char*>(&id), sizeof id);
      data += words[rng() % 64];
      for (int j = 0; j < 8; ++j) data.push_back(static_cast<char>(rng() % (j < 2 ? 256 : 4)));
    }
    WriteFile(root / "data" / ("blob" + std::to_string(i) + ".bin"), data);
  }
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

void Measure(const char* name, const fs::path& archive) {
  const Bytes bytes = ReadFile(archive);
  double ours = 1e9, peer = 1e9;
  for (int repetition = 0; repetition < 3; ++repetition) {
    auto start = std::chrono::steady_clock::now();
    const auto reader = format::zip::OpenZip(std::make_shared<format::MemorySource>(bytes));
    TestSink sink;
    reader->Extract({}, true, sink);
    ours = std::min(ours, Seconds(start));
    if (sink.failures != 0) {
      std::fprintf(stderr, "%s: %d items failed\n", name, sink.failures);
      std::exit(1);
    }
    start = std::chrono::steady_clock::now();
    if (!Run("7zz t -mmt1 -psecret -bso0 -bse0 -bsp0 '" + archive.string() + "'")) std::exit(1);
    peer = std::min(peer, Seconds(start));
  }
  std::printf("%-18s %7.1f MB   ours %6.3f s   7zz t %6.3f s   ratio %.2f\n", name,
              bytes.size() / 1e6, ours, peer, peer / ours);
}

}  // namespace

int main() {
  const fs::path work = fs::temp_directory_path() / "cindral_zip_bench";
  fs::remove_all(work);
  MakeTree(work / "tree");
  const std::string tree = "'" + (work / "tree").string() + "'";
  const std::string zip = "cd " + tree + " && 7zz a -bso0 -bse0 -bsp0 -tzip ";
  if (!Run(zip + "-mm=Deflate ../deflate.zip .") ||
      !Run(zip + "-mm=Deflate -mem=AES256 -psecret ../aes.zip .") ||
      !Run(zip + "-mm=Deflate -mem=ZipCrypto -psecret ../zipcrypto.zip ."))
    return 1;
  std::printf("ZIP test extraction, best of 3 (ratio = 7zz time / ours)\n");
  Measure("Deflate", work / "deflate.zip");
  Measure("AES-256 Deflate", work / "aes.zip");
  Measure("ZipCrypto Deflate", work / "zipcrypto.zip");
  fs::remove_all(work);
  return 0;
}
