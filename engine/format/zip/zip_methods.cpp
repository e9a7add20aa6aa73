// The decoder of each compression method a ZIP entry may use. Decoders that
// are not in the tree yet leave their method unsupported.
#include <array>

#include "engine/codec/inflate.h"
#include "engine/format/zip/zip_internal.h"

#if __has_include("engine/codec/bzip2.h")
#include "engine/codec/bzip2.h"
#define CINDRAL_ZIP_BZIP2 1
#endif
#if __has_include("engine/codec/lzma.h")
#include "engine/codec/lzma.h"
#define CINDRAL_ZIP_LZMA 1
#endif
#if __has_include("engine/codec/ppmd8.h")
#include "engine/codec/ppmd8.h"
#define CINDRAL_ZIP_PPMD 1
#endif

namespace cindral::format::zip {
namespace {

#ifdef CINDRAL_ZIP_LZMA
// ZIP puts a header before the LZMA stream: a version (two bytes), the size
// of the properties (two bytes, always 5), the properties.
class ZipLzmaDecoder final : public codec::InStream {
 public:
  ZipLzmaDecoder(codec::InStream& packed, std::optional<uint64_t> size)
      : properties_(ReadProperties(packed)), decoder_(packed, properties_, size) {}
  size_t Read(uint8_t* data, size_t size) override { return decoder_.Read(data, size); }

 private:
  static std::array<uint8_t, 5> ReadProperties(codec::InStream& packed) {
    uint8_t header[9];
    if (packed.Read(header, sizeof header) != sizeof header)
      throw codec::UnexpectedEnd("LZMA header is truncated");
    if (Load16(header + 2) != 5) throw codec::DataError("LZMA properties size is not 5");
    // Here the properties are part of the entry's data (decrypted data, under
    // encryption), so a bad one is damage rather than an unknown method.
    if (header[4] >= 9 * 5 * 5) throw codec::DataError("bad LZMA properties");
    return {header[4], header[5], header[6], header[7], header[8]};
  }

  std::array<uint8_t, 5> properties_;
  codec::LzmaDecoder decoder_;
};
#endif

}  // namespace

std::unique_ptr<codec::InStream> MakeDecoder(const Entry& entry, [[maybe_unused]] uint64_t size,
                                             codec::InStream& packed,
                                             [[maybe_unused]] unsigned threads) {
  switch (entry.method) {
    case kMethodStore:
      return nullptr;
    case kMethodDeflate:
      return std::make_unique<codec::InflateDecoder>(packed, codec::DeflateVariant::kDeflate);
    case kMethodDeflate64:
      return std::make_unique<codec::InflateDecoder>(packed, codec::DeflateVariant::kDeflate64);
#ifdef CINDRAL_ZIP_BZIP2
    case kMethodBzip2:
      return std::make_unique<codec::Bzip2Decoder>(packed, threads);
#endif
#ifdef CINDRAL_ZIP_LZMA
    case kMethodLzma: {
      // With the end marker the size is not needed to find the end; the
      // reader still checks it.
      const bool end_marker = (entry.flags & kFlagLzmaEndMarker) != 0;
      return std::make_unique<ZipLzmaDecoder>(packed,
                                              end_marker ? std::nullopt : std::optional(size));
    }
#endif
#ifdef CINDRAL_ZIP_PPMD
    case kMethodPpmd:
      return std::make_unique<codec::Ppmd8Decoder>(packed, size);
#endif
  }
  throw codec::Unsupported("compression method is not supported");
}

}  // namespace cindral::format::zip
