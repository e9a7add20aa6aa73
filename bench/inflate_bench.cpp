// Inflate throughput against zlib on the same streams in the same run.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/codec/inflate.h"

namespace {

using Bytes = std::vector<uint8_t>;
using cindral::codec::DeflateVariant;
using cindral::codec::InflateDecoder;
using cindral::codec::MemoryInStream;

struct Item {
  Bytes original;
  Bytes compressed;
};

Bytes Compress(const Bytes& input) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes output(deflateBound(&stream, input.size()) + 16);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  deflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

Bytes Text(std::mt19937& rng, size_t size) {
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string word;
    const int length = 2 + static_cast<int>(rng() % 9);
    for (int j = 0; j < length; ++j) word += static_cast<char>('a' + rng() % 26);
    words.push_back(word);
  }
  Bytes out;
  while (out.size() < size) {
    // Zipf-like: a few words are very common.
    const size_t index = static_cast<size_t>(words.size() * std::pow((rng() % 10000) / 10000.0, 3));
    out.insert(out.end(), words[index].begin(), words[index].end());
    out.push_back(rng() % 12 == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

std::vector<Bytes> Binaries(size_t total) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/bin"))
    if (entry.is_regular_file() && entry.file_size() > 20000) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<Bytes> files;
  size_t sum = 0;
  for (const auto& path : paths) {
    std::ifstream file(path, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (data.size() > 4'000'000) continue;
    sum += data.size();
    files.push_back(std::move(data));
    if (sum >= total) break;
  }
  return files;
}

// Thread CPU time: the machines are shared, and time spent preempted is not
// the decoder's.
double Now() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double OursSeconds(const std::vector<Item>& items, Bytes& out) {
  const double start = Now();
  for (const Item& item : items) {
    MemoryInStream source(item.compressed);
    InflateDecoder decoder(source, DeflateVariant::kDeflate);
    if (decoder.Read(out.data(), item.original.size()) != item.original.size()) std::abort();
  }
  return Now() - start;
}

double ZlibSeconds(const std::vector<Item>& items, Bytes& out) {
  const double start = Now();
  for (const Item& item : items) {
    z_stream stream{};
    inflateInit2(&stream, -15);
    stream.next_in = const_cast<Bytef*>(item.compressed.data());
    stream.avail_in = static_cast<uInt>(item.compressed.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(item.original.size());
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
    inflateEnd(&stream);
  }
  return Now() - start;
}

struct Result {
  double ours;
  double zlib;
};

Result Measure(const char* name, const std::vector<Bytes>& inputs) {
  std::vector<Item> items;
  size_t original = 0, compressed = 0, largest = 0;
  for (const Bytes& input : inputs) {
    items.push_back({input, Compress(input)});
    original += input.size();
    compressed += items.back().compressed.size();
    largest = std::max(largest, input.size());
  }
  Bytes out(largest + 1);
  for (const Item& item : items) {  // correctness before speed
    MemoryInStream source(item.compressed);
    InflateDecoder decoder(source, DeflateVariant::kDeflate);
    if (decoder.Read(out.data(), out.size()) != item.original.size() ||
        !std::equal(item.original.begin(), item.original.end(), out.begin())) {
      std::fprintf(stderr, "%s: wrong output\n", name);
      std::exit(1);
    }
  }
  Result best{1e9, 1e9};
  for (int repetition = 0; repetition < 5; ++repetition) {
    best.zlib = std::min(best.zlib, ZlibSeconds(items, out));
    best.ours = std::min(best.ours, OursSeconds(items, out));
  }
  const double mb = original / 1e6;
  std::printf(
      "%-14s %5zu streams %8.1f MB -> %6.1f MB   ours %7.1f MB/s   zlib %7.1f MB/s   ratio %.2f\n",
      name, items.size(), mb, compressed / 1e6, mb / best.ours, mb / best.zlib,
      best.zlib / best.ours);
  return {best.ours / mb, best.zlib / mb};
}

}  // namespace

int main() {
  std::mt19937 rng(1951);
  const std::vector<Bytes> text = {Text(rng, 8'000'000), Text(rng, 4'000'000)};
  const std::vector<Bytes> binaries = Binaries(24'000'000);
  std::vector<Bytes> small;
  const std::vector<Bytes> sources = {Text(rng, 1'000'000),
                                      binaries.empty() ? Bytes(1) : binaries[0]};
  for (int i = 0; i < 3000; ++i) {
    const Bytes& from = sources[i % 2];
    const size_t size = 200 + rng() % 12000;
    const size_t at = rng() % (from.size() - std::min(from.size(), size) + 1);
    small.emplace_back(from.begin() + at, from.begin() + std::min(from.size(), at + size));
  }

  std::printf(
      "inflate, zlib level 6 streams, best of 5 in thread CPU time (MB/s of decoded data)\n");
  const Result results[] = {Measure("text", text), Measure("binaries", binaries),
                            Measure("small files", small)};
  // The mixed corpus weighs each part equally: the ratio of the summed times
  // per MB.
  double ours = 0, zlib = 0;
  for (const Result& result : results) {
    ours += result.ours;
    zlib += result.zlib;
  }
  std::printf("%-14s ours %7.1f MB/s   zlib %7.1f MB/s   ratio %.2f\n", "mixed", 3 / ours, 3 / zlib,
              zlib / ours);
  return 0;
}
