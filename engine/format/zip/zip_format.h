// Facts of the ZIP format that the reader and the writer share: record
// signatures, flag bits, method numbers and extra-field ids.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cindral::format::zip {

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kDataDescriptorSignature = 0x08074b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;

constexpr uint16_t kFlagEncrypted = 1 << 0;
constexpr uint16_t kFlagLzmaEndMarker = 1 << 1;
constexpr uint16_t kFlagDataDescriptor = 1 << 3;
constexpr uint16_t kFlagStrongEncryption = 1 << 6;
constexpr uint16_t kFlagUtf8 = 1 << 11;

constexpr uint16_t kMethodStore = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint16_t kMethodDeflate64 = 9;
constexpr uint16_t kMethodBzip2 = 12;
constexpr uint16_t kMethodLzma = 14;
constexpr uint16_t kMethodPpmd = 98;
constexpr uint16_t kMethodAes = 99;

constexpr uint16_t kExtraZip64 = 0x0001;
constexpr uint16_t kExtraNtfs = 0x000A;
constexpr uint16_t kExtraTimestamp = 0x5455;
constexpr uint16_t kExtraUnicodePath = 0x7075;
constexpr uint16_t kExtraAes = 0x9901;

}  // namespace cindral::format::zip
