// The two encryptions found in ZIP archives: PKWARE's traditional stream
// cipher and WinZip's AES in counter mode with an HMAC-SHA1 tag.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/codec/crypto.h"
#include "engine/format/zip/zip_internal.h"

namespace cindral::format::zip {
namespace {

void ReadExactly(codec::InStream& source, uint8_t* data, size_t size) {
  if (source.Read(data, size) != size) throw codec::UnexpectedEnd("encrypted data is truncated");
}

uint32_t Crc32Byte(uint32_t crc, uint8_t byte) {
  static const z_crc_t* const table = get_crc_table();
  return table[(crc ^ byte) & 0xFF] ^ crc >> 8;
}

constexpr uint32_t kPbkdf2Iterations = 1000;
constexpr size_t kVerifierSize = 2;
constexpr size_t kTagSize = 10;

size_t AesKeySize(unsigned strength) { return 8 + 8 * strength; }
size_t AesSaltSize(unsigned strength) { return 4 + 4 * strength; }

}  // namespace

ZipCryptoDecoder::ZipCryptoDecoder(codec::InStream& source, std::span<const uint8_t> password,
                                   std::span<const uint8_t> check_bytes)
    : source_(source), keys_{0x12345678, 0x23456789, 0x34567890} {
  for (const uint8_t byte : password) {
    keys_[0] = Crc32Byte(keys_[0], byte);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813 + 1;
    keys_[2] = Crc32Byte(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
  }
  uint8_t header[kHeaderSize];
  ReadExactly(source_, header, sizeof header);
  uint8_t last = 0;
  for (const uint8_t byte : header) last = DecryptByte(byte);
  if (std::find(check_bytes.begin(), check_bytes.end(), last) == check_bytes.end())
    throw PasswordMismatch("password check byte mismatch");
}

uint8_t ZipCryptoDecoder::DecryptByte(uint8_t cipher) {
  const uint32_t temp = (keys_[2] | 2) & 0xFFFF;
  const uint8_t plain = cipher ^ static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
  keys_[0] = Crc32Byte(keys_[0], plain);
  keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813 + 1;
  keys_[2] = Crc32Byte(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
  return plain;
}

size_t ZipCryptoDecoder::Read(uint8_t* data, size_t size) {
  const size_t count = source_.Read(data, size);
  for (size_t i = 0; i < count; ++i) data[i] = DecryptByte(data[i]);
  return count;
}

struct WinZipAesDecoder::State {
  State(codec::InStream& source_stream, uint64_t data_size, std::span<const uint8_t> aes_key,
        std::span<const uint8_t> hmac_key)
      : source(source_stream), remaining(data_size), aes(aes_key), hmac(hmac_key) {}

  void RefillKeystream() {
    // The counter is a little-endian number that starts at 1.
    for (size_t block = 0; block < keystream.size(); block += codec::AesEncryptor::kBlockSize) {
      for (uint8_t& byte : counter)
        if (++byte != 0) break;
      std::memcpy(keystream.data() + block, counter.data(), counter.size());
    }
    aes.EncryptBlocks(keystream.data(), keystream.data(), keystream.size());
    keystream_position = 0;
  }

  codec::InStream& source;
  uint64_t remaining;
  codec::AesEncryptor aes;
  codec::HmacSha1 hmac;
  std::array<uint8_t, codec::AesEncryptor::kBlockSize> counter{};
  std::array<uint8_t, 4096> keystream{};
  size_t keystream_position = keystream.size();
};

uint64_t WinZipAesDecoder::Overhead(unsigned strength) {
  return AesSaltSize(strength) + kVerifierSize + kTagSize;
}

WinZipAesDecoder::WinZipAesDecoder(codec::InStream& source, uint64_t packed_size, unsigned strength,
                                   std::span<const uint8_t> password) {
  if (strength < 1 || strength > 3) throw codec::Unsupported("unknown AES strength");
  if (packed_size < Overhead(strength)) throw codec::DataError("encrypted entry is too short");
  const size_t key_size = AesKeySize(strength);
  uint8_t salt[16];
  uint8_t verifier[kVerifierSize];
  ReadExactly(source, salt, AesSaltSize(strength));
  ReadExactly(source, verifier, sizeof verifier);
  uint8_t derived[2 * 32 + kVerifierSize];
  const std::span<uint8_t> keys(derived, 2 * key_size + kVerifierSize);
  codec::Pbkdf2HmacSha1(password, std::span(salt, AesSaltSize(strength)), kPbkdf2Iterations, keys);
  if (std::memcmp(verifier, derived + 2 * key_size, kVerifierSize) != 0)
    throw PasswordMismatch("password verifier mismatch");
  state_ = std::make_unique<State>(source, packed_size - Overhead(strength),
                                   keys.subspan(0, key_size), keys.subspan(key_size, key_size));
}

WinZipAesDecoder::~WinZipAesDecoder() = default;

size_t WinZipAesDecoder::Read(uint8_t* data, size_t size) {
  State& s = *state_;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(size, s.remaining));
  const size_t got = s.source.Read(data, want);
  if (got != want) throw codec::UnexpectedEnd("encrypted data is truncated");
  s.remaining -= got;
  s.hmac.Update(std::span(data, got));
  for (size_t done = 0; done < got;) {
    if (s.keystream_position == s.keystream.size()) s.RefillKeystream();
    const size_t count = std::min(got - done, s.keystream.size() - s.keystream_position);
    const uint8_t* key = s.keystream.data() + s.keystream_position;
    for (size_t i = 0; i < count; ++i) data[done + i] ^= key[i];
    done += count;
    s.keystream_position += count;
  }
  return got;
}

void WinZipAesDecoder::Finish() {
  codec::SkipBytes(*this, state_->remaining);
  uint8_t tag[kTagSize];
  ReadExactly(state_->source, tag, sizeof tag);
  const codec::HmacSha1::Tag expected = state_->hmac.Final();
  if (std::memcmp(tag, expected.data(), sizeof tag) != 0)
    throw PasswordMismatch("authentication code mismatch");
}

}  // namespace cindral::format::zip
