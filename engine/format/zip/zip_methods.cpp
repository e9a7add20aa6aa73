// The decoder of each compression method a ZIP entry may use.
#include "engine/codec/inflate.h"
#include "engine/format/zip/zip_internal.h"

namespace cindral::format::zip {

std::unique_ptr<codec::InStream> MakeDecoder(const Entry& entry, uint64_t /*size*/,
                                             codec::InStream& packed) {
  switch (entry.method) {
    case kMethodStore:
      return nullptr;
    case kMethodDeflate:
      return std::make_unique<codec::InflateDecoder>(packed, codec::DeflateVariant::kDeflate);
    case kMethodDeflate64:
      return std::make_unique<codec::InflateDecoder>(packed, codec::DeflateVariant::kDeflate64);
  }
  throw codec::Unsupported("compression method is not supported");
}

}  // namespace cindral::format::zip
