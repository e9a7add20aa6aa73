#include "engine/codec/deflate.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace cindral::codec {
namespace {

// One zlib encoder, reset between pieces and kept for the next: setting up a
// deflate state costs more than compressing a small file.
class Encoder {
 public:
  explicit Encoder(int level) : level_(level) {
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::bad_alloc();
  }
  ~Encoder() { deflateEnd(&stream_); }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  int Level() const { return level_; }

  // Appends the raw Deflate encoding of data; Z_SYNC_FLUSH leaves the stream
  // open and byte-aligned, Z_FINISH ends it.
  void Encode(std::span<const uint8_t> dictionary, std::span<const uint8_t> data, int flush,
              std::vector<uint8_t>& out) {
    deflateReset(&stream_);
    if (!dictionary.empty()) {
      deflateSetDictionary(&stream_, dictionary.data(), static_cast<uInt>(dictionary.size()));
    }
    const size_t start = out.size();
    out.resize(start + deflateBound(&stream_, static_cast<uLong>(data.size())) + 16);
    stream_.next_in = const_cast<Bytef*>(data.data());
    stream_.avail_in = static_cast<uInt>(data.size());
    stream_.next_out = out.data() + start;
    stream_.avail_out = static_cast<uInt>(out.size() - start);
    const int result = deflate(&stream_, flush);
    if (result != Z_OK && result != Z_STREAM_END) throw std::runtime_error("deflate failed");
    if (stream_.avail_in != 0) throw std::runtime_error("deflate output bound exceeded");
    out.resize(out.size() - stream_.avail_out);
  }

 private:
  z_stream stream_{};
  int level_;
};

// Idle encoders, shared by all threads. Not thread_local: with mingw's
// emulated TLS in a DLL the per-thread objects could be freed before their
// destructors ran at thread exit, which crashed every pool thread's exit.
class EncoderCache {
 public:
  std::unique_ptr<Encoder> Take(int level) {
    {
      std::lock_guard lock(mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->Level() != level) continue;
        std::unique_ptr<Encoder> encoder = std::move(*it);
        idle_.erase(it);
        return encoder;
      }
    }
    return std::make_unique<Encoder>(level);
  }

  void Give(std::unique_ptr<Encoder> encoder) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(encoder));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Encoder>> idle_;
};

EncoderCache& Cache() {
  static EncoderCache cache;
  return cache;
}

// One encoder for the length of one call, back to the cache afterwards, also
// when the encoding throws.
class BorrowedEncoder {
 public:
  explicit BorrowedEncoder(int level) : encoder_(Cache().Take(level)) {}
  ~BorrowedEncoder() { Cache().Give(std::move(encoder_)); }
  BorrowedEncoder(const BorrowedEncoder&) = delete;
  BorrowedEncoder& operator=(const BorrowedEncoder&) = delete;
  Encoder* operator->() { return encoder_.get(); }

 private:
  std::unique_ptr<Encoder> encoder_;
};

// Stored blocks start at a byte boundary here: the stream before them ended
// with a flush or is empty. Their 3 header bits share the first byte with the
// padding that follows.
void AppendStoredBlocks(std::span<const uint8_t> data, bool last, std::vector<uint8_t>& out) {
  size_t position = 0;
  do {
    const size_t length = std::min<size_t>(data.size() - position, 65535);
    const bool final_block = last && position + length == data.size();
    out.push_back(final_block ? 0x01 : 0x00);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(~length));
    out.push_back(static_cast<uint8_t>(~length >> 8));
    out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(position),
               data.begin() + static_cast<ptrdiff_t>(position + length));
    position += length;
  } while (position < data.size());
}

size_t StoredSize(size_t size) { return size + 5 * std::max<size_t>(1, (size + 65534) / 65535); }

}  // namespace

void DeflatePiece(std::span<const uint8_t> dictionary, std::span<const uint8_t> data, int level,
                  bool last, std::vector<uint8_t>& out) {
  if (dictionary.size() > kDeflateWindow) dictionary = dictionary.last(kDeflateWindow);
  const size_t start = out.size();
  BorrowedEncoder(level)->Encode(dictionary, data, last ? Z_FINISH : Z_SYNC_FLUSH, out);
  if (out.size() - start <= StoredSize(data.size())) return;
  out.resize(start);
  AppendStoredBlocks(data, last, out);
}

std::vector<uint8_t> DeflateWhole(std::span<const uint8_t> data, int level) {
  std::vector<uint8_t> out;
  BorrowedEncoder(level)->Encode({}, data, Z_FINISH, out);
  return out;
}

}  // namespace cindral::codec
