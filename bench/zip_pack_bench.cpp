// Packing throughput of the ZIP writer against 7zz's ZIP packer at the same
// level and thread count, on the same corpus in the same run.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/format/archive.h"
#include "engine/format/zip/zip_writer.h"

namespace fs = std::filesystem;
using cindral::format::zip::WriteItem;

namespace {

class FileStream final : public cindral::codec::InStream {
 public:
  explicit FileStream(const fs::path& path) : file_(std::fopen(path.c_str(), "rb")) {}
  ~FileStream() override {
    if (file_) std::fclose(file_);
  }
  size_t Read(uint8_t* data, size_t size) override {
    return file_ ? std::fread(data, 1, size, file_) : 0;
  }

 private:
  FILE* file_;
};

class FolderSource final : public cindral::format::zip::WriteSource {
 public:
  explicit FolderSource(const fs::path& root) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) files_.push_back(entry.path());
    }
    std::sort(files_.begin(), files_.end());
    root_ = root;
  }
  uint32_t ItemCount() override { return static_cast<uint32_t>(files_.size()); }
  WriteItem Item(uint32_t index) override {
    const std::string name = fs::relative(files_[index], root_).string();
    return WriteItem{.name = std::u16string(name.begin(), name.end()),
                     .size = fs::file_size(files_[index]),
                     .attributes = 0x20};
  }
  std::optional<cindral::codec::InStream*> Open(uint32_t index) override {
    stream_.emplace(files_[index]);
    return &*stream_;
  }
  void ItemWritten(uint32_t) override { stream_.reset(); }
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}

 private:
  fs::path root_;
  std::vector<fs::path> files_;
  std::optional<FileStream> stream_;
};

class FileTarget final : public cindral::format::zip::WriteTarget {
 public:
  explicit FileTarget(const fs::path& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~FileTarget() override { std::fclose(file_); }
  void Write(const uint8_t* data, size_t size) override { std::fwrite(data, 1, size, file_); }
  bool CanSeek() override { return true; }
  void Seek(uint64_t position) override {
    std::fseek(file_, static_cast<long>(position), SEEK_SET);
  }

 private:
  FILE* file_;
};

double Seconds(const std::function<void()>& work) {
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<uint8_t> TextLike(size_t size, uint32_t seed) {
  static const char* words[] = {"the ",      "archive ", "of ",     "careful ",
                                "packing\n", "deflate ", "window ", "Vantle ",
                                "stream ",   "block ",   "\t{\n",   "}\n"};
  std::mt19937 random(seed);
  std::vector<uint8_t> out;
  while (out.size() < size) {
    const char* word = words[random() % 12];
    out.insert(out.end(), word, word + strlen(word));
    if (random() % 50 == 0) out.push_back(static_cast<uint8_t>('0' + random() % 10));
  }
  out.resize(size);
  return out;
}

// Text, this machine's own binaries, and many small files.
void MakeCorpus(const fs::path& root) {
  fs::remove_all(root);
  for (int i = 0; i < 8; ++i)
    WriteFile(root / "text" / ("doc" + std::to_string(i) + ".txt"), TextLike(4 << 20, i));
  int copied = 0;
  uint64_t binary_bytes = 0;
  fs::create_directories(root / "bin");
  for (const auto& entry : fs::directory_iterator("/usr/bin")) {
    if (!entry.is_regular_file() || entry.is_symlink() || entry.file_size() < 100000) continue;
    fs::copy_file(entry.path(), root / "bin" / entry.path().filename(),
                  fs::copy_options::overwrite_existing);
    binary_bytes += entry.file_size();
    if (++copied >= 40 || binary_bytes > (48 << 20)) break;
  }
  for (int i = 0; i < 3000; ++i)
    WriteFile(root / "small" / std::to_string(i % 30) / ("f" + std::to_string(i) + ".txt"),
              TextLike(200 + i * 7 % 9000, i));
}

uint64_t TreeSize(const fs::path& root) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    total += entry.is_regular_file() ? entry.file_size() : 0;
  return total;
}

struct Result {
  double seconds;
  uint64_t size;
};

Result PackOurs(const fs::path& root, const fs::path& out, unsigned threads) {
  const double seconds = Seconds([&] {
    FolderSource source(root);
    FileTarget target(out);
    cindral::format::zip::WriteZip(source, target, {.threads = threads, .level = 5});
  });
  return {seconds, fs::file_size(out)};
}

Result PackPeer(const fs::path& root, const fs::path& out, unsigned threads) {
  const std::string command = "cd '" + root.string() +
                              "' && 7zz a -tzip -mx5 -mmt=" + std::to_string(threads) +
                              " -bso0 -bsp0 '" + out.string() + "' . >/dev/null";
  const double seconds = Seconds([&] {
    fs::remove(out);
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "7zz failed\n");
  });
  return {seconds, fs::file_size(out)};
}

void Report(const char* what, uint64_t input, const Result& ours, const Result& peer) {
  std::printf(
      "%-28s ours %7.1f MB/s %10llu B | 7zz %7.1f MB/s %10llu B | speed x%.2f, size x%.3f\n", what,
      input / ours.seconds / 1e6, static_cast<unsigned long long>(ours.size),
      input / peer.seconds / 1e6, static_cast<unsigned long long>(peer.size),
      peer.seconds / ours.seconds, static_cast<double>(ours.size) / peer.size);
}

}  // namespace

int main() {
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  const fs::path work = fs::temp_directory_path() / "cindral-pack-bench";
  const fs::path corpus = work / "corpus";
  MakeCorpus(corpus);
  const uint64_t input = TreeSize(corpus);
  std::printf("ZIP packing, level 5, %u threads, corpus %.1f MB\n", threads, input / 1e6);
  Report("mixed corpus, every core", input, PackOurs(corpus, work / "ours.zip", threads),
         PackPeer(corpus, work / "peer.zip", threads));

  const fs::path large = work / "large";
  WriteFile(large / "one.txt", TextLike(96 << 20, 99));
  const Result one = PackOurs(large, work / "one-1.zip", 1);
  const Result all = PackOurs(large, work / "one-n.zip", threads);
  std::printf("one large file: 1 thread %.1f MB/s, %u threads %.1f MB/s: x%.2f\n",
              (96 << 20) / one.seconds / 1e6, threads, (96 << 20) / all.seconds / 1e6,
              one.seconds / all.seconds);
  fs::remove_all(work);
}
