// Hashes, HMAC, PBKDF2 and AES for the containers' encryption. The primitives
// come from the platform's crypto library (one backend file per platform); this
// header names no backend type, so every backend fits behind it.
//
// Failures of the backend throw std::runtime_error; a key of a size other than
// 16, 24 or 32 bytes throws std::invalid_argument.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace cindral::codec {

// Incremental SHA-1. Final returns the digest and starts a new message.
class Sha1 {
 public:
  static constexpr size_t kDigestSize = 20;
  using Digest = std::array<uint8_t, kDigestSize>;

  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  void Update(std::span<const uint8_t> data);
  Digest Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Incremental SHA-256. Final returns the digest and starts a new message.
class Sha256 {
 public:
  static constexpr size_t kDigestSize = 32;
  using Digest = std::array<uint8_t, kDigestSize>;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::span<const uint8_t> data);
  Digest Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Incremental HMAC-SHA1. Final returns the tag and starts a new message under
// the same key.
class HmacSha1 {
 public:
  static constexpr size_t kTagSize = 20;
  using Tag = std::array<uint8_t, kTagSize>;

  explicit HmacSha1(std::span<const uint8_t> key);
  ~HmacSha1();
  HmacSha1(const HmacSha1&) = delete;
  HmacSha1& operator=(const HmacSha1&) = delete;

  void Update(std::span<const uint8_t> data);
  Tag Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// PBKDF2 with HMAC-SHA1 as the pseudo-random function; fills all of out.
void Pbkdf2HmacSha1(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                    uint32_t iterations, std::span<uint8_t> out);

// AES encryption of independent 16-byte blocks (ECB), the building block of
// counter modes whose counter layout the library does not offer.
class AesEncryptor {
 public:
  static constexpr size_t kBlockSize = 16;

  explicit AesEncryptor(std::span<const uint8_t> key);
  ~AesEncryptor();
  AesEncryptor(const AesEncryptor&) = delete;
  AesEncryptor& operator=(const AesEncryptor&) = delete;

  // size must be a multiple of kBlockSize; in and out may be the same buffer.
  void EncryptBlocks(const uint8_t* in, uint8_t* out, size_t size);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// AES-CBC decryption without padding. The chain carries over from one call to
// the next, so a message may be decrypted in pieces.
class AesCbcDecryptor {
 public:
  static constexpr size_t kBlockSize = 16;

  AesCbcDecryptor(std::span<const uint8_t> key, std::span<const uint8_t, kBlockSize> iv);
  ~AesCbcDecryptor();
  AesCbcDecryptor(const AesCbcDecryptor&) = delete;
  AesCbcDecryptor& operator=(const AesCbcDecryptor&) = delete;

  // Decrypts in place; size must be a multiple of kBlockSize.
  void Decrypt(uint8_t* data, size_t size);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cindral::codec
