// The crypto primitives of crypto.h on Windows' CNG (BCrypt), so the engine
// carries no crypto code or library of its own on Windows.
#include <windows.h>
// bcrypt.h needs the base types of windows.h first.
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/win_owners.h"
#include "engine/codec/crypto.h"

namespace cindral::codec {
namespace {

void Check(NTSTATUS status) {
  if (!BCRYPT_SUCCESS(status)) throw std::runtime_error("crypto library failure");
}

// BCrypt takes ULONG lengths; larger buffers go through in pieces.
constexpr size_t kMaxPiece = size_t{1} << 30;

void CloseProvider(BCRYPT_ALG_HANDLE provider) { BCryptCloseAlgorithmProvider(provider, 0); }

using UniqueProvider = UniqueResource<PointerTraits<BCRYPT_ALG_HANDLE, CloseProvider>>;
using UniqueHash = UniqueResource<PointerTraits<BCRYPT_HASH_HANDLE, BCryptDestroyHash>>;
using UniqueKey = UniqueResource<PointerTraits<BCRYPT_KEY_HANDLE, BCryptDestroyKey>>;

// A provider handle is thread-safe and costly to open, so each algorithm is
// opened once for the life of the process.
UniqueProvider OpenProvider(const wchar_t* algorithm, ULONG flags,
                            const wchar_t* chaining_mode = nullptr) {
  UniqueProvider provider;
  Check(BCryptOpenAlgorithmProvider(provider.Put(), algorithm, nullptr, flags));
  if (chaining_mode == nullptr) return provider;
  Check(BCryptSetProperty(provider.Get(), BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(chaining_mode)),
                          static_cast<ULONG>((wcslen(chaining_mode) + 1) * sizeof(wchar_t)), 0));
  return provider;
}

BCRYPT_ALG_HANDLE Sha1Provider() {
  static const UniqueProvider provider = OpenProvider(BCRYPT_SHA1_ALGORITHM, 0);
  return provider.Get();
}

BCRYPT_ALG_HANDLE Sha256Provider() {
  static const UniqueProvider provider = OpenProvider(BCRYPT_SHA256_ALGORITHM, 0);
  return provider.Get();
}

BCRYPT_ALG_HANDLE HmacSha1Provider() {
  static const UniqueProvider provider =
      OpenProvider(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  return provider.Get();
}

BCRYPT_ALG_HANDLE AesProvider(bool cbc) {
  static const UniqueProvider ecb = OpenProvider(BCRYPT_AES_ALGORITHM, 0, BCRYPT_CHAIN_MODE_ECB);
  static const UniqueProvider chained =
      OpenProvider(BCRYPT_AES_ALGORITHM, 0, BCRYPT_CHAIN_MODE_CBC);
  return cbc ? chained.Get() : ecb.Get();
}

// BCrypt rejects a null buffer even when its length is 0.
PUCHAR Buffer(std::span<const uint8_t> data) {
  static uint8_t empty = 0;
  return data.empty() ? &empty : const_cast<PUCHAR>(data.data());
}

// One hash or HMAC computation. BCrypt's reusable-hash flag is not offered
// everywhere, so Final starts the next message with a fresh object.
class HashObject {
 public:
  HashObject(BCRYPT_ALG_HANDLE provider, std::span<const uint8_t> secret)
      : provider_(provider), secret_(secret.begin(), secret.end()) {
    Start();
  }

  void Update(std::span<const uint8_t> data) {
    while (!data.empty()) {
      const size_t piece = std::min(data.size(), kMaxPiece);
      Check(BCryptHashData(handle_.Get(), Buffer(data.first(piece)), static_cast<ULONG>(piece), 0));
      data = data.subspan(piece);
    }
  }

  void Final(uint8_t* digest, size_t size) {
    Check(BCryptFinishHash(handle_.Get(), digest, static_cast<ULONG>(size), 0));
    Start();
  }

 private:
  void Start() {
    const bool keyed = !secret_.empty();
    Check(BCryptCreateHash(provider_, handle_.Put(), nullptr, 0, keyed ? secret_.data() : nullptr,
                           static_cast<ULONG>(secret_.size()), 0));
  }

  BCRYPT_ALG_HANDLE provider_;
  std::vector<uint8_t> secret_;
  UniqueHash handle_;
};

void CheckKeySize(size_t size) {
  if (size != 16 && size != 24 && size != 32)
    throw std::invalid_argument("AES key must be 16, 24 or 32 bytes");
}

void CheckWholeBlocks(size_t size) {
  if (size % AesEncryptor::kBlockSize != 0)
    throw std::invalid_argument("AES data must be whole blocks");
}

class SymmetricKey {
 public:
  SymmetricKey(bool cbc, std::span<const uint8_t> key) {
    CheckKeySize(key.size());
    Check(BCryptGenerateSymmetricKey(AesProvider(cbc), handle_.Put(), nullptr, 0,
                                     const_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()),
                                     0));
  }
  BCRYPT_KEY_HANDLE Get() const { return handle_.Get(); }

 private:
  UniqueKey handle_;
};

}  // namespace

struct Sha1::State : HashObject {
  State() : HashObject(Sha1Provider(), {}) {}
};

Sha1::Sha1() : state_(std::make_unique<State>()) {}
Sha1::~Sha1() = default;
void Sha1::Update(std::span<const uint8_t> data) { state_->Update(data); }
Sha1::Digest Sha1::Final() {
  Digest digest;
  state_->Final(digest.data(), digest.size());
  return digest;
}

struct Sha256::State : HashObject {
  State() : HashObject(Sha256Provider(), {}) {}
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
void Sha256::Update(std::span<const uint8_t> data) { state_->Update(data); }
Sha256::Digest Sha256::Final() {
  Digest digest;
  state_->Final(digest.data(), digest.size());
  return digest;
}

// An empty HMAC key is legal but BCrypt treats a missing secret as a plain
// hash; HMAC pads any key with zeros to the block size, so one zero byte is
// the same key.
struct HmacSha1::State : HashObject {
  explicit State(std::span<const uint8_t> key)
      : HashObject(HmacSha1Provider(), key.empty() ? std::span<const uint8_t>(kZeroKey) : key) {}
  static constexpr uint8_t kZeroKey[1] = {0};
};

HmacSha1::HmacSha1(std::span<const uint8_t> key) : state_(std::make_unique<State>(key)) {}
HmacSha1::~HmacSha1() = default;
void HmacSha1::Update(std::span<const uint8_t> data) { state_->Update(data); }
HmacSha1::Tag HmacSha1::Final() {
  Tag tag;
  state_->Final(tag.data(), tag.size());
  return tag;
}

void Pbkdf2HmacSha1(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                    uint32_t iterations, std::span<uint8_t> out) {
  if (password.size() > ULONG_MAX || salt.size() > ULONG_MAX || out.size() > ULONG_MAX ||
      iterations == 0)
    throw std::invalid_argument("PBKDF2 argument out of range");
  // The same zero-padding rule as for HMAC makes an empty password one zero byte.
  static const uint8_t kZeroKey[1] = {0};
  if (password.empty()) password = kZeroKey;
  Check(BCryptDeriveKeyPBKDF2(
      HmacSha1Provider(), Buffer(password), static_cast<ULONG>(password.size()), Buffer(salt),
      static_cast<ULONG>(salt.size()), iterations, out.data(), static_cast<ULONG>(out.size()), 0));
}

struct AesEncryptor::State : SymmetricKey {
  explicit State(std::span<const uint8_t> key) : SymmetricKey(false, key) {}
};

AesEncryptor::AesEncryptor(std::span<const uint8_t> key) : state_(std::make_unique<State>(key)) {}
AesEncryptor::~AesEncryptor() = default;

void AesEncryptor::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t size) {
  CheckWholeBlocks(size);
  while (size != 0) {
    const size_t piece = std::min(size, kMaxPiece);
    ULONG written = 0;
    Check(BCryptEncrypt(state_->Get(), const_cast<PUCHAR>(in), static_cast<ULONG>(piece), nullptr,
                        nullptr, 0, out, static_cast<ULONG>(piece), &written, 0));
    if (written != piece) throw std::runtime_error("crypto library failure");
    in += piece;
    out += piece;
    size -= piece;
  }
}

// The chain is carried here rather than in BCrypt's IV buffer, whose update
// after a call is not something every implementation of the API does.
struct AesCbcDecryptor::State : SymmetricKey {
  State(std::span<const uint8_t> key, std::span<const uint8_t, kBlockSize> iv)
      : SymmetricKey(true, key) {
    std::copy(iv.begin(), iv.end(), chain.begin());
  }
  std::array<uint8_t, kBlockSize> chain;
};

AesCbcDecryptor::AesCbcDecryptor(std::span<const uint8_t> key,
                                 std::span<const uint8_t, kBlockSize> iv)
    : state_(std::make_unique<State>(key, iv)) {}
AesCbcDecryptor::~AesCbcDecryptor() = default;

void AesCbcDecryptor::Decrypt(uint8_t* data, size_t size) {
  CheckWholeBlocks(size);
  while (size != 0) {
    const size_t piece = std::min(size, kMaxPiece);
    std::array<uint8_t, kBlockSize> iv = state_->chain;
    std::memcpy(state_->chain.data(), data + piece - kBlockSize, kBlockSize);
    ULONG written = 0;
    Check(BCryptDecrypt(state_->Get(), data, static_cast<ULONG>(piece), nullptr, iv.data(),
                        static_cast<ULONG>(iv.size()), data, static_cast<ULONG>(piece), &written,
                        0));
    if (written != piece) throw std::runtime_error("crypto library failure");
    data += piece;
    size -= piece;
  }
}

}  // namespace cindral::codec
