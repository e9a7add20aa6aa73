// PPMd decode speed against `7zz t` on the same archive, measured in one
// run: variant H inside .7z, variant I inside .zip.
#include "bench/bench_util.h"
#include "engine/codec/ppmd7.h"
#include "engine/codec/ppmd8.h"

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

uint32_t Load32(const bench::Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

// The packed bytes of a .zip's first entry, whose local header carries the
// sizes (7zz writes them there for a seekable output).
bench::Bytes FirstZipEntryStream(const bench::Bytes& archive) {
  if (archive.size() < 30 || Load32(archive, 0) != 0x04034B50)
    throw std::runtime_error("not a ZIP local header");
  const size_t packed_size = Load32(archive, 18);
  const size_t start = 30 + (archive[26] | archive[27] << 8) + (archive[28] | archive[29] << 8);
  if (start + packed_size > archive.size()) throw std::runtime_error("ZIP entry does not fit");
  return bench::Bytes(archive.begin() + std::ptrdiff_t(start),
                      archive.begin() + std::ptrdiff_t(start + packed_size));
}

// Times our decoder against `7zz t` on the same archive and prints both.
template <typename Decode>
void Compare(const std::string& what, const std::string& archive, const bench::Bytes& data,
             size_t packed_size, Decode decode) {
  bench::Bytes buffer(1 << 16);
  size_t total = 0;
  const double ours = bench::BestOf(2, bench::Clock::kCpu, [&] {
    total = 0;
    decode([&](codec::InStream& decoder) {
      while (size_t got = decoder.Read(buffer.data(), buffer.size())) total += got;
    });
  });
  if (total != data.size()) throw std::runtime_error(what + " decode size mismatch");
  const double peer = bench::BestOf(2, bench::Clock::kChildCpu,
                                    [&] { bench::Run("7zz t -bso0 -bsp0 -mmt=1 " + archive); });
  const double mb = double(data.size()) / 1e6;
  std::printf("%s: %.1f MB -> %.1f MB\n", what.c_str(), mb, double(packed_size) / 1e6);
  std::printf("  ours            %7.1f MB/s\n", mb / ours);
  std::printf("  7zz t -mmt=1    %7.1f MB/s  ratio ours/peer (CPU time) %.2f\n", mb / peer,
              peer / ours);
}

void MeasureSevenZip(const std::string& dir, const bench::Bytes& data, const std::string& params) {
  const std::string archive = dir + "/a.7z";
  bench::Run("rm -f " + archive + " && 7zz a -bso0 -bsp0 -t7z -mhc=off -mmt=1 -m0=PPMd" + params +
             " " + archive + " " + dir + "/data.bin");
  const bench::Bytes file = bench::ReadFile(archive);
  const bench::Bytes packed = bench::SevenZipPackedStream(file);
  const bench::Bytes props = PpmdProperties(file);
  Compare("7z PPMd" + params, archive, data, packed.size(), [&](auto drain) {
    codec::MemoryInStream source(packed);
    codec::Ppmd7Decoder decoder(source, props, data.size());
    drain(decoder);
  });
}

void MeasureZip(const std::string& dir, const bench::Bytes& data, const std::string& params) {
  const std::string archive = dir + "/a.zip";
  bench::Run("rm -f " + archive + " && 7zz a -bso0 -bsp0 -tzip -mmt=1 -mm=PPMd" + params + " " +
             archive + " " + dir + "/data.bin");
  const bench::Bytes packed = FirstZipEntryStream(bench::ReadFile(archive));
  Compare("ZIP PPMd" + params, archive, data, packed.size(), [&](auto drain) {
    codec::MemoryInStream source(packed);
    codec::Ppmd8Decoder decoder(source, data.size());
    drain(decoder);
  });
}

}  // namespace

int main() {
  const std::string dir = "bench-ppmd.tmp";
  bench::Run("rm -rf " + dir + " && mkdir " + dir);
  const bench::Bytes data = bench::Corpus(12 << 20);
  bench::WriteFile(dir + "/data.bin", data);
  MeasureSevenZip(dir, data, "");
  MeasureSevenZip(dir, data, ":o=16:mem=64m");
  MeasureZip(dir, data, "");
  MeasureZip(dir, data, ":o=16:mem=64m:a=1");
  bench::Run("rm -rf " + dir);
}
