// Shared helpers of the benchmarks: test data, 7z fixtures made by 7zz in the
// same run, and wall-clock timing of our decoders and of the peer.
#pragma once

#include <sys/resource.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace cindral::bench {

using Bytes = std::vector<uint8_t>;

inline double Seconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Compressible text-like data with a skewed word distribution, plus a share of
// binary noise so that the entropy coder has real work.
inline Bytes Corpus(size_t size) {
  std::mt19937 rng(1234);
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string w;
    const int length = 2 + int(rng() % 9);
    for (int k = 0; k < length; ++k) w.push_back(char('a' + rng() % 26));
    words.push_back(w);
  }
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    if (rng() % 50 == 0) {
      for (int k = 0; k < 64; ++k) out.push_back(uint8_t(rng()));
      continue;
    }
    const double u = double(rng()) / rng.max();
    const std::string& w = words[size_t(u * u * u * double(words.size() - 1))];
    out.insert(out.end(), w.begin(), w.end());
    out.push_back(rng() % 12 == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

// The packed stream of a one-folder .7z written with -mhc=off: it starts
// right after the 32-byte signature header and ends where the header begins.
inline Bytes SevenZipPackedStream(const Bytes& archive) {
  if (archive.size() < 32) throw std::runtime_error("short 7z archive");
  uint64_t next_header = 0;
  for (int i = 7; i >= 0; --i) next_header = next_header << 8 | archive[12 + i];
  if (next_header > archive.size() - 32) throw std::runtime_error("bad 7z archive");
  return Bytes(archive.begin() + 32, archive.begin() + 32 + std::ptrdiff_t(next_header));
}

// CPU time of this process and of its waited-for children: the machine is
// shared, so single-threaded comparisons use CPU time, not wall time.
inline double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

enum class Clock { kWall, kCpu, kChildCpu };

inline double Now(Clock clock) {
  switch (clock) {
    case Clock::kWall:
      return Seconds();
    case Clock::kCpu:
      return CpuSeconds(RUSAGE_SELF);
    case Clock::kChildCpu:
      return CpuSeconds(RUSAGE_CHILDREN);
  }
  return 0;
}

// Best of a few runs keeps the shared machine's noise out of the ratios.
template <typename F>
double BestOf(int runs, Clock clock, F&& f) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const double start = Now(clock);
    f();
    best = std::min(best, Now(clock) - start);
  }
  return best;
}

}  // namespace cindral::bench
