// Shared by the ZIP reader's files; not part of the engine's interface.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec/stream.h"
#include "engine/format/archive.h"
#include "engine/format/zip/zip_format.h"
#include "engine/format/zip/zip_reader.h"

namespace cindral::format::zip {

inline uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Load32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t Load64(const uint8_t* p) { return Load32(p) | uint64_t{Load32(p + 4)} << 32; }
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Deflate cannot turn one input byte into more than 1032 output bytes (a
// 258-byte match costs at least two bits); an entry that claims more lies.
constexpr uint64_t kMaxDeflateRatio = 1032;

enum class Encryption : uint8_t { kNone, kZipCrypto, kAes, kUnsupported };

// What extraction needs beyond the Item, kept small for archives with
// millions of entries.
struct Entry {
  uint64_t local_offset = 0;  // already corrected for data before the archive
  uint32_t dos_time = 0;      // date << 16 | time, for the ZipCrypto check byte
  uint16_t flags = 0;
  uint16_t method = 0;  // the compression method, under AES too
  Encryption encryption = Encryption::kNone;
  uint8_t aes_strength = 0;  // 1, 2, 3: AES-128, -192, -256
  bool check_crc = true;     // false for AE-2
  bool overlaps = false;     // its bytes lie inside an earlier entry's
};

struct Directory {
  std::vector<Item> items;
  std::vector<Entry> entries;
};

// How the host reads what the archive leaves to the machine: local DOS times
// and names in the OEM code page.
struct HostConversions {
  LocalTimeToFiletime local_time;
  OemTextDecoder oem_text;
};

Directory ReadDirectory(ArchiveSource& source, const HostConversions& host);

// Text decoding for names and comments.
std::u16string DecodeUtf8(std::string_view bytes);
// Text stored without the UTF-8 flag: UTF-8 when the bytes are well-formed
// UTF-8 with at least one multi-byte sequence, else the OEM code page.
std::u16string DecodeUnflaggedText(std::string_view bytes, const OemTextDecoder& oem);
std::string EncodeUtf8(std::u16string_view text);

// A wrong password shows as a failed check; mapped to kWrongPassword.
struct PasswordMismatch : codec::DataError {
  using codec::DataError::DataError;
};

// Decrypts traditional PKWARE encryption. The constructor reads and checks the
// 12-byte header: its last byte must equal one of the check bytes.
class ZipCryptoDecoder final : public codec::InStream {
 public:
  ZipCryptoDecoder(codec::InStream& source, std::span<const uint8_t> password,
                   std::span<const uint8_t> check_bytes);
  size_t Read(uint8_t* data, size_t size) override;

  static constexpr size_t kHeaderSize = 12;

 private:
  uint8_t DecryptByte(uint8_t cipher);

  codec::InStream& source_;
  uint32_t keys_[3];
};

// Decrypts WinZip AES (AE-1, AE-2) of an entry whose encrypted part is
// packed_size bytes: salt, verifier, data, authentication code. The
// constructor derives the keys and checks the verifier; Finish reads what the
// decoder left of the data and checks the authentication code.
class WinZipAesDecoder final : public codec::InStream {
 public:
  WinZipAesDecoder(codec::InStream& source, uint64_t packed_size, unsigned strength,
                   std::span<const uint8_t> password);
  ~WinZipAesDecoder() override;
  size_t Read(uint8_t* data, size_t size) override;
  void Finish();

  static uint64_t Overhead(unsigned strength);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The decoder of entry's compression method over its packed bytes, or null
// for stored data. Throws codec::Unsupported for methods not built in.
// threads: how many a decoder that splits its stream into blocks may use.
std::unique_ptr<codec::InStream> MakeDecoder(const Entry& entry, uint64_t size,
                                             codec::InStream& packed, unsigned threads = 1);

}  // namespace cindral::format::zip
