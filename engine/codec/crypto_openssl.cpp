// The crypto primitives of crypto.h on OpenSSL's libcrypto (native builds).
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <vector>

#include "engine/codec/crypto.h"

namespace cindral::codec {
namespace {

void Check(int ok) {
  if (ok != 1) throw std::runtime_error("crypto library failure");
}

template <typename T>
T* CheckPointer(T* pointer) {
  if (pointer == nullptr) throw std::runtime_error("crypto library failure");
  return pointer;
}

const EVP_CIPHER* AesCipher(size_t key_size, bool cbc) {
  switch (key_size) {
    case 16:
      return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24:
      return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case 32:
      return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
  }
  throw std::invalid_argument("AES key must be 16, 24 or 32 bytes");
}

void CheckWholeBlocks(size_t size) {
  if (size % AesEncryptor::kBlockSize != 0)
    throw std::invalid_argument("AES data must be whole blocks");
}

// EVP takes int lengths; larger buffers go through in pieces.
constexpr size_t kMaxPiece = size_t{1} << 30;

class DigestContext {
 public:
  explicit DigestContext(const EVP_MD* md) : md_(md), context_(CheckPointer(EVP_MD_CTX_new())) {
    Check(EVP_DigestInit_ex(context_, md_, nullptr));
  }
  ~DigestContext() { EVP_MD_CTX_free(context_); }
  DigestContext(const DigestContext&) = delete;
  DigestContext& operator=(const DigestContext&) = delete;

  void Update(std::span<const uint8_t> data) {
    Check(EVP_DigestUpdate(context_, data.data(), data.size()));
  }
  void Final(uint8_t* digest) {
    Check(EVP_DigestFinal_ex(context_, digest, nullptr));
    Check(EVP_DigestInit_ex(context_, md_, nullptr));
  }

 private:
  const EVP_MD* md_;
  EVP_MD_CTX* context_;
};

}  // namespace

struct Sha1::State : DigestContext {
  State() : DigestContext(EVP_sha1()) {}
};

Sha1::Sha1() : state_(std::make_unique<State>()) {}
Sha1::~Sha1() = default;
void Sha1::Update(std::span<const uint8_t> data) { state_->Update(data); }
Sha1::Digest Sha1::Final() {
  Digest digest;
  state_->Final(digest.data());
  return digest;
}

struct Sha256::State : DigestContext {
  State() : DigestContext(EVP_sha256()) {}
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
void Sha256::Update(std::span<const uint8_t> data) { state_->Update(data); }
Sha256::Digest Sha256::Final() {
  Digest digest;
  state_->Final(digest.data());
  return digest;
}

struct HmacSha1::State {
  explicit State(std::span<const uint8_t> key_bytes) : key(key_bytes.begin(), key_bytes.end()) {
    mac = CheckPointer(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    context = EVP_MAC_CTX_new(mac);
    if (context == nullptr) {
      EVP_MAC_free(mac);
      throw std::runtime_error("crypto library failure");
    }
    Start();
  }
  ~State() {
    EVP_MAC_CTX_free(context);
    EVP_MAC_free(mac);
  }

  void Start() {
    char digest_name[] = "SHA1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
        OSSL_PARAM_construct_end()};
    // An empty key is legal for HMAC; OpenSSL wants a non-null pointer for it.
    static const uint8_t kNoKey = 0;
    Check(EVP_MAC_init(context, key.empty() ? &kNoKey : key.data(), key.size(), params));
  }

  std::vector<uint8_t> key;
  EVP_MAC* mac = nullptr;
  EVP_MAC_CTX* context = nullptr;
};

HmacSha1::HmacSha1(std::span<const uint8_t> key) : state_(std::make_unique<State>(key)) {}
HmacSha1::~HmacSha1() = default;

void HmacSha1::Update(std::span<const uint8_t> data) {
  Check(EVP_MAC_update(state_->context, data.data(), data.size()));
}

HmacSha1::Tag HmacSha1::Final() {
  Tag tag;
  size_t length = 0;
  Check(EVP_MAC_final(state_->context, tag.data(), &length, tag.size()));
  if (length != tag.size()) throw std::runtime_error("crypto library failure");
  state_->Start();
  return tag;
}

void Pbkdf2HmacSha1(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                    uint32_t iterations, std::span<uint8_t> out) {
  if (password.size() > INT_MAX || salt.size() > INT_MAX || out.size() > INT_MAX ||
      iterations == 0 || iterations > INT_MAX)
    throw std::invalid_argument("PBKDF2 argument out of range");
  static const uint8_t kEmpty = 0;
  const char* password_bytes =
      reinterpret_cast<const char*>(password.empty() ? &kEmpty : password.data());
  Check(PKCS5_PBKDF2_HMAC_SHA1(password_bytes, static_cast<int>(password.size()),
                               salt.empty() ? &kEmpty : salt.data(), static_cast<int>(salt.size()),
                               static_cast<int>(iterations), static_cast<int>(out.size()),
                               out.data()));
}

struct CipherState {
  CipherState() : context(CheckPointer(EVP_CIPHER_CTX_new())) {}
  ~CipherState() { EVP_CIPHER_CTX_free(context); }
  CipherState(const CipherState&) = delete;
  CipherState& operator=(const CipherState&) = delete;

  template <typename Update>
  void Run(Update update, const uint8_t* in, uint8_t* out, size_t size) {
    CheckWholeBlocks(size);
    while (size != 0) {
      const size_t piece = std::min(size, kMaxPiece);
      int written = 0;
      Check(update(context, out, &written, in, static_cast<int>(piece)));
      if (static_cast<size_t>(written) != piece) throw std::runtime_error("crypto library failure");
      in += piece;
      out += piece;
      size -= piece;
    }
  }

  EVP_CIPHER_CTX* context;
};

struct AesEncryptor::State : CipherState {};

AesEncryptor::AesEncryptor(std::span<const uint8_t> key) : state_(std::make_unique<State>()) {
  Check(EVP_EncryptInit_ex(state_->context, AesCipher(key.size(), false), nullptr, key.data(),
                           nullptr));
  Check(EVP_CIPHER_CTX_set_padding(state_->context, 0));
}
AesEncryptor::~AesEncryptor() = default;

void AesEncryptor::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t size) {
  state_->Run(EVP_EncryptUpdate, in, out, size);
}

struct AesCbcDecryptor::State : CipherState {};

AesCbcDecryptor::AesCbcDecryptor(std::span<const uint8_t> key,
                                 std::span<const uint8_t, kBlockSize> iv)
    : state_(std::make_unique<State>()) {
  Check(EVP_DecryptInit_ex(state_->context, AesCipher(key.size(), true), nullptr, key.data(),
                           iv.data()));
  Check(EVP_CIPHER_CTX_set_padding(state_->context, 0));
}
AesCbcDecryptor::~AesCbcDecryptor() = default;

void AesCbcDecryptor::Decrypt(uint8_t* data, size_t size) {
  state_->Run(EVP_DecryptUpdate, data, data, size);
}

}  // namespace cindral::codec
