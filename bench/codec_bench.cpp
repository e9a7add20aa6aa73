// Our codecs, readers and ZIP packer as one process per measurement, so that
// bench/suite.py times them exactly as it times their peers (7zz, zip) and
// reads each run's peak memory from the kernel. The in-process comparisons
// (inflate against zlib and libdeflate, LZMA against liblzma) print the
// decoding time alone as {"seconds": s}; the others are timed as processes.
//
//   codec_bench inflate ours|zlib|libdeflate <streams>
//   codec_bench deflate ours|zlib|libdeflate <level> <folder> [<streams out>]
//   codec_bench lzma ours|liblzma <archive.7z>
//   codec_bench test <archive.zip|.7z> <threads>
//   codec_bench pack <folder> <archive.zip> <threads>
#include <fcntl.h>
#include <libdeflate.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec/deflate.h"
#include "engine/codec/inflate.h"
#include "engine/codec/lzma.h"
#include "engine/codec/lzma2.h"
#include "engine/format/sevenz/sevenz_reader.h"
#include "engine/format/zip/zip_reader.h"
#include "engine/format/zip/zip_writer.h"

namespace fs = std::filesystem;
using namespace cindral;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t Load32(const uint8_t* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | uint32_t{at[3]} << 24;
}

template <typename Work>
void PrintSecondsOf(Work&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  std::printf("{\"seconds\": %.6f}\n", seconds.count());
}

// --- inflate -------------------------------------------------------------

struct DeflateStream {
  std::span<const uint8_t> packed;
  size_t size;
};

// The streams file: per stream its decoded and packed sizes, then its bytes.
std::vector<DeflateStream> SplitStreams(const Bytes& file) {
  std::vector<DeflateStream> streams;
  for (size_t at = 0; at < file.size();) {
    if (file.size() - at < 8) throw std::runtime_error("truncated streams file");
    const size_t size = Load32(&file[at]), packed = Load32(&file[at + 4]);
    at += 8;
    if (packed > file.size() - at) throw std::runtime_error("truncated streams file");
    streams.push_back({{&file[at], packed}, size});
    at += packed;
  }
  return streams;
}

void InflateOurs(const DeflateStream& stream, uint8_t* out) {
  codec::MemoryInStream source(stream.packed);
  codec::InflateDecoder decoder(source, codec::DeflateVariant::kDeflate);
  if (decoder.Read(out, stream.size) != stream.size) throw std::runtime_error("short inflate");
}

void InflateZlib(const DeflateStream& stream, uint8_t* out) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<Bytef*>(stream.packed.data());
  z.avail_in = uInt(stream.packed.size());
  z.next_out = out;
  z.avail_out = uInt(stream.size);
  const int result = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("zlib inflate failed");
}

int Inflate(std::string_view implementation, const fs::path& path) {
  const Bytes file = ReadFile(path);
  const std::vector<DeflateStream> streams = SplitStreams(file);
  size_t largest = 0;
  for (const DeflateStream& stream : streams) largest = std::max(largest, stream.size);
  Bytes out(largest), reference(largest);
  const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> libdeflate(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  const auto decode = [&](const DeflateStream& stream, uint8_t* to) {
    if (implementation == "zlib") return InflateZlib(stream, to);
    if (implementation == "ours") return InflateOurs(stream, to);
    if (libdeflate_deflate_decompress(libdeflate.get(), stream.packed.data(), stream.packed.size(),
                                      to, stream.size, nullptr) != LIBDEFLATE_SUCCESS)
      throw std::runtime_error("libdeflate failed");
  };
  // Correctness before speed, untimed: every stream as zlib decodes it.
  for (const DeflateStream& stream : streams) {
    decode(stream, out.data());
    InflateZlib(stream, reference.data());
    if (!std::equal(out.begin(), out.begin() + std::ptrdiff_t(stream.size), reference.begin()))
      throw std::runtime_error("inflate output differs from zlib's");
  }
  PrintSecondsOf([&] {
    for (const DeflateStream& stream : streams) decode(stream, out.data());
  });
  return 0;
}

// --- deflate: every file of a folder, each as one stream ----------------

// Ours goes through the ZIP writer's path (1 MiB pieces primed with the
// 32 KiB before them); the peers compress each file whole. Every stream is
// checked against zlib's inflate, untimed, and the sizes and the encoding
// time are printed; the streams are written to a file if one is named, so
// that the suite reports their size.
size_t DeflateZlib(const Bytes& data, int level, Bytes& out) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("zlib init failed");
  out.resize(deflateBound(&z, uLong(data.size())));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = uInt(data.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  const int result = deflate(&z, Z_FINISH);
  deflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("zlib deflate failed");
  return out.size() - z.avail_out;
}

size_t DeflateOurs(const Bytes& data, int level, Bytes& out) {
  out.clear();
  if (data.size() <= format::zip::kPieceSize) {
    out = codec::DeflateWhole(data, level);
    return out.size();
  }
  const std::span<const uint8_t> all(data);
  for (size_t at = 0; at < data.size(); at += format::zip::kPieceSize) {
    const size_t length = std::min(format::zip::kPieceSize, data.size() - at);
    const size_t dictionary = std::min(at, codec::kDeflateWindow);
    codec::DeflatePiece(all.subspan(at - dictionary, dictionary), all.subspan(at, length), level,
                        at + length == data.size(), out);
  }
  return out.size();
}

int Deflate(std::string_view implementation, int level, const fs::path& folder,
            const std::optional<fs::path>& streams) {
  std::vector<Bytes> files;
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) files.push_back(ReadFile(path));
  const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> libdeflate(
      implementation == "libdeflate" ? libdeflate_alloc_compressor(level) : nullptr,
      libdeflate_free_compressor);
  const auto encode = [&](const Bytes& data, Bytes& out) -> size_t {
    if (implementation == "zlib") return DeflateZlib(data, level, out);
    if (implementation == "ours") return DeflateOurs(data, level, out);
    if (!libdeflate) throw std::runtime_error("unknown deflate implementation");
    out.resize(libdeflate_deflate_compress_bound(libdeflate.get(), data.size()));
    return libdeflate_deflate_compress(libdeflate.get(), data.data(), data.size(), out.data(),
                                       out.size());
  };
  std::vector<Bytes> outputs(files.size());
  size_t raw = 0, packed = 0;
  // Processor time as well as wall time: on a busy machine only the former
  // compares runs made minutes apart.
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  for (size_t i = 0; i < files.size(); ++i) outputs[i].resize(encode(files[i], outputs[i]));
  const double cpu = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  for (size_t i = 0; i < files.size(); ++i) {
    Bytes back(files[i].size());
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = outputs[i].data();
    z.avail_in = uInt(outputs[i].size());
    z.next_out = back.data();
    z.avail_out = uInt(back.size());
    const int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    if ((result != Z_STREAM_END && !files[i].empty()) || back != files[i])
      throw std::runtime_error("deflate round trip failed: " + paths[i].string());
    raw += files[i].size();
    packed += outputs[i].size();
  }
  if (streams) {
    std::ofstream out(*streams, std::ios::binary);
    for (const Bytes& output : outputs)
      out.write(reinterpret_cast<const char*>(output.data()), std::streamsize(output.size()));
    if (!out) throw std::runtime_error("cannot write " + streams->string());
  }
  std::printf("{\"seconds\": %.6f, \"cpu\": %.6f, \"raw\": %zu, \"packed\": %zu}\n",
              seconds.count(), cpu, raw, packed);
  return 0;
}

// --- LZMA and LZMA2 on the packed stream of a one-file 7z ------------------

struct LzmaStream {
  bool lzma2;
  Bytes packed;
  Bytes properties;
  uint64_t size;
};

// A one-file, one-coder .7z with a plain header: the packed stream lies
// between the signature header and the header, the coder's properties follow
// its method id, and the unpacked size is the largest number the header holds
// before the CRC, which the caller checks by decoding exactly that much.
LzmaStream FindLzmaStream(const Bytes& archive, uint64_t size) {
  if (archive.size() < 32) throw std::runtime_error("short 7z archive");
  uint64_t header = 0;
  for (int i = 7; i >= 0; --i) header = header << 8 | archive[12 + i];
  if (header > archive.size() - 32) throw std::runtime_error("bad 7z archive");
  const auto begin = archive.begin() + 32;
  LzmaStream stream{false, Bytes(begin, begin + std::ptrdiff_t(header)), {}, size};
  const uint8_t lzma[] = {0x23, 0x03, 0x01, 0x01, 0x05};
  const uint8_t lzma2[] = {0x21, 0x21, 0x01};
  for (auto at = begin + std::ptrdiff_t(header); at + 10 < archive.end(); ++at) {
    if (std::equal(std::begin(lzma), std::end(lzma), at)) {
      stream.properties.assign(at + 5, at + 10);
      return stream;
    }
    if (std::equal(std::begin(lzma2), std::end(lzma2), at)) {
      stream.lzma2 = true;
      stream.properties.assign(at + 3, at + 4);
      return stream;
    }
  }
  throw std::runtime_error("no LZMA coder in the archive");
}

void LzmaOurs(const LzmaStream& stream, Bytes& out) {
  codec::MemoryInStream source(stream.packed);
  std::unique_ptr<codec::InStream> decoder;
  if (stream.lzma2)
    decoder = std::make_unique<codec::Lzma2Decoder>(source, stream.properties[0]);
  else
    decoder = std::make_unique<codec::LzmaDecoder>(source, stream.properties, stream.size);
  size_t total = 0;
  while (size_t got = decoder->Read(out.data() + total, out.size() - total)) total += got;
  if (total != stream.size) throw std::runtime_error("LZMA decoded the wrong size");
}

void LzmaLiblzma(const LzmaStream& stream, Bytes& out) {
  lzma_filter filters[2] = {{stream.lzma2 ? LZMA_FILTER_LZMA2 : LZMA_FILTER_LZMA1, nullptr},
                            {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, stream.properties.data(),
                             stream.properties.size()) != LZMA_OK)
    throw std::runtime_error("liblzma refused the properties");
  if (!stream.lzma2) {
    // 7z's LZMA streams end at a known size, without an end marker.
    auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
    filters[0].id = LZMA_FILTER_LZMA1EXT;
    options->ext_flags = 0;
    options->ext_size_low = uint32_t(stream.size);
    options->ext_size_high = uint32_t(stream.size >> 32);
  }
  lzma_stream z = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&z, filters) != LZMA_OK) throw std::runtime_error("liblzma init failed");
  z.next_in = stream.packed.data();
  z.avail_in = stream.packed.size();
  z.next_out = out.data();
  z.avail_out = out.size();
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK) result = lzma_code(&z, LZMA_FINISH);
  const uint64_t total = z.total_out;
  lzma_end(&z);
  free(filters[0].options);
  if (result != LZMA_STREAM_END || total != stream.size)
    throw std::runtime_error("liblzma decoding failed");
}

int Lzma(std::string_view implementation, const fs::path& path) {
  // The archive holds codec.bin, which lies beside the codec/ folder.
  const Bytes original = ReadFile(path.parent_path().parent_path() / "codec.bin");
  const LzmaStream stream = FindLzmaStream(ReadFile(path), original.size());
  Bytes out(original.size() + 1);
  const auto decode = implementation == "liblzma" ? LzmaLiblzma : LzmaOurs;
  PrintSecondsOf([&] { decode(stream, out); });
  if (!std::equal(original.begin(), original.end(), out.begin()))
    throw std::runtime_error("LZMA output differs from the original");
  return 0;
}

// --- whole archives: test extraction and ZIP packing ------------------------

class FileSource final : public format::ArchiveSource {
 public:
  explicit FileSource(const fs::path& path) : fd_(open(path.c_str(), O_RDONLY)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path.string());
    size_ = fs::file_size(path);
  }
  ~FileSource() override { close(fd_); }
  uint64_t Size() override { return size_; }
  void ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
    while (size != 0) {
      const ssize_t got = pread(fd_, data, size, off_t(offset));
      if (got <= 0) throw codec::UnexpectedEnd("read beyond the archive");
      data += got, size -= size_t(got), offset += uint64_t(got);
    }
  }

 private:
  int fd_;
  uint64_t size_ = 0;
};

class CountingSink final : public format::ExtractSink {
 public:
  codec::OutStream* BeginItem(uint32_t) override { return nullptr; }
  void EndItem(uint32_t, format::OperationResult result) override {
    failures += result != format::OperationResult::kOk;
  }
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}
  std::optional<std::u16string> Password() override { return std::nullopt; }
  int failures = 0;
};

class NoPassword final : public format::PasswordSource {
 public:
  std::optional<std::u16string> Password() override { return std::nullopt; }
};

int Test(const fs::path& path, unsigned threads) {
  NoPassword passwords;
  auto source = std::make_shared<FileSource>(path);
  const auto reader = path.extension() == ".7z" ? format::sevenz::OpenSevenZip(source, passwords)
                                                : format::zip::OpenZip(source);
  reader->SetThreadCount(threads);
  CountingSink sink;
  reader->Extract({}, true, sink);
  if (sink.failures != 0) {
    std::fprintf(stderr, "%d items failed\n", sink.failures);
    return 1;
  }
  return 0;
}

class FileStream final : public codec::InStream {
 public:
  explicit FileStream(const fs::path& path) : file_(std::fopen(path.c_str(), "rb")) {
    if (!file_) throw std::runtime_error("cannot open " + path.string());
  }
  ~FileStream() override { std::fclose(file_); }
  size_t Read(uint8_t* data, size_t size) override { return std::fread(data, 1, size, file_); }

 private:
  FILE* file_;
};

class FolderSource final : public format::zip::WriteSource {
 public:
  explicit FolderSource(const fs::path& root) : root_(root) {
    for (const auto& entry : fs::recursive_directory_iterator(root))
      if (entry.is_regular_file()) files_.push_back(entry.path());
    std::sort(files_.begin(), files_.end());
  }
  uint32_t ItemCount() override { return uint32_t(files_.size()); }
  format::zip::WriteItem Item(uint32_t index) override {
    const std::string name = fs::relative(files_[index], root_).string();
    return {.name = std::u16string(name.begin(), name.end()),
            .size = fs::file_size(files_[index]),
            .attributes = 0x20};
  }
  std::optional<codec::InStream*> Open(uint32_t index) override {
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

class FileTarget final : public format::zip::WriteTarget {
 public:
  explicit FileTarget(const fs::path& path) : file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::runtime_error("cannot create " + path.string());
  }
  ~FileTarget() override { std::fclose(file_); }
  void Write(const uint8_t* data, size_t size) override {
    if (std::fwrite(data, 1, size, file_) != size) throw std::runtime_error("write failed");
  }
  bool CanSeek() override { return true; }
  void Seek(uint64_t position) override { fseeko(file_, off_t(position), SEEK_SET); }

 private:
  FILE* file_;
};

int Pack(const fs::path& folder, const fs::path& archive, unsigned threads) {
  FolderSource source(folder);
  FileTarget target(archive);
  format::zip::WriteZip(source, target, {.threads = threads, .level = 5});
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: codec_bench inflate ours|zlib|libdeflate <streams>\n"
               "       codec_bench deflate ours|zlib|libdeflate <level> <folder> [<out>]\n"
               "       codec_bench lzma ours|liblzma <archive.7z>\n"
               "       codec_bench test <archive> <threads>\n"
               "       codec_bench pack <folder> <archive.zip> <threads>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == "inflate") return Inflate(args[1], args[2]);
    if ((args.size() == 4 || args.size() == 5) && args[0] == "deflate")
      return Deflate(args[1], std::stoi(argv[3]), args[3],
                     args.size() == 5 ? std::optional<fs::path>(args[4]) : std::nullopt);
    if (args.size() == 3 && args[0] == "lzma") return Lzma(args[1], args[2]);
    if (args.size() == 3 && args[0] == "test") return Test(args[1], std::stoul(argv[3]));
    if (args.size() == 4 && args[0] == "pack") return Pack(args[1], args[2], std::stoul(argv[4]));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "codec_bench: %s\n", error.what());
    return 1;
  }
  return Usage();
}
