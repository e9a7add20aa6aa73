#include "engine/codec/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace cindral::codec {
namespace {

std::vector<uint8_t> Hex(std::string_view text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return bytes;
}

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

template <size_t N>
std::vector<uint8_t> Vec(const std::array<uint8_t, N>& digest) {
  return {digest.begin(), digest.end()};
}

TEST(CryptoTest, Sha1KnownAnswersAndIncrementalUpdates) {
  Sha1 sha;
  sha.Update(Bytes("abc"));
  EXPECT_EQ(Vec(sha.Final()), Hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  // Final starts a new message: the same object hashes a million 'a' fed in
  // uneven pieces.
  const std::string block(1000, 'a');
  for (int i = 0; i < 1000; ++i)
    sha.Update(Bytes(std::string_view(block).substr(0, i % 2 ? 999 : 1000)));
  sha.Update(Bytes(std::string(500, 'a')));
  EXPECT_EQ(Vec(sha.Final()), Hex("34aa973cd4c4daa4f61eeb2bdbad27316534016f"));
  EXPECT_EQ(Vec(sha.Final()), Hex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

TEST(CryptoTest, Sha256KnownAnswers) {
  Sha256 sha;
  sha.Update(Bytes("abc"));
  EXPECT_EQ(Vec(sha.Final()),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  const std::string a(1000, 'a');
  for (int i = 0; i < 1000; ++i) sha.Update(Bytes(a));
  EXPECT_EQ(Vec(sha.Final()),
            Hex("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
}

TEST(CryptoTest, HmacSha1Rfc2202) {
  const std::vector<uint8_t> key1(20, 0x0b);
  HmacSha1 hmac1(key1);
  hmac1.Update(Bytes("Hi "));
  hmac1.Update(Bytes("There"));
  EXPECT_EQ(Vec(hmac1.Final()), Hex("b617318655057264e28bc0b6fb378c8ef146be00"));
  // The key survives Final.
  hmac1.Update(Bytes("Hi There"));
  EXPECT_EQ(Vec(hmac1.Final()), Hex("b617318655057264e28bc0b6fb378c8ef146be00"));

  HmacSha1 hmac2(Bytes("Jefe"));
  hmac2.Update(Bytes("what do ya want for nothing?"));
  EXPECT_EQ(Vec(hmac2.Final()), Hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));

  // A key longer than the block is hashed first.
  const std::vector<uint8_t> key6(80, 0xaa);
  HmacSha1 hmac6(key6);
  hmac6.Update(Bytes("Test Using Larger Than Block-Size Key - Hash Key First"));
  EXPECT_EQ(Vec(hmac6.Final()), Hex("aa4ae5e15272d00e95705637ce8a3b55ed402112"));
}

TEST(CryptoTest, Pbkdf2HmacSha1Rfc6070) {
  std::vector<uint8_t> out(20);
  Pbkdf2HmacSha1(Bytes("password"), Bytes("salt"), 1, out);
  EXPECT_EQ(out, Hex("0c60c80f961f0e71f3a9b524af6012062fe037a6"));
  Pbkdf2HmacSha1(Bytes("password"), Bytes("salt"), 4096, out);
  EXPECT_EQ(out, Hex("4b007901b765489abead49d926f721d065a429c1"));
  std::vector<uint8_t> longer(25);
  Pbkdf2HmacSha1(Bytes("passwordPASSWORDpassword"), Bytes("saltSALTsaltSALTsaltSALTsaltSALTsalt"),
                 4096, longer);
  EXPECT_EQ(longer, Hex("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"));
  EXPECT_THROW(Pbkdf2HmacSha1(Bytes("p"), Bytes("s"), 0, out), std::invalid_argument);
}

// ZIP and 7z allow an empty password; backends differ in how they take an
// empty key or salt, so both must give the standard answers.
TEST(CryptoTest, EmptyKeysPasswordsAndSalts) {
  HmacSha1 empty_key({});
  EXPECT_EQ(Vec(empty_key.Final()), Hex("fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"));
  empty_key.Update(Bytes("abc"));
  EXPECT_EQ(Vec(empty_key.Final()), Hex("9b4a918f398d74d3e367970aba3cbe54e4d2b5d9"));
  std::vector<uint8_t> out(20);
  Pbkdf2HmacSha1({}, Bytes("salt"), 2, out);
  EXPECT_EQ(out, Hex("133a4ce837b4d2521ee2bf03e11c71ca794e0797"));
  Pbkdf2HmacSha1(Bytes("pass"), {}, 3, out);
  EXPECT_EQ(out, Hex("cfa16b8feb60fe4396e4ebbb5138627c7e6adf87"));
}

TEST(CryptoTest, AesEncryptFips197AllKeySizes) {
  const std::vector<uint8_t> plain = Hex("00112233445566778899aabbccddeeff");
  const struct {
    const char* key;
    const char* cipher;
  } cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const auto& c : cases) {
    AesEncryptor aes(Hex(c.key));
    // Two identical blocks in place: ECB encrypts each alone.
    std::vector<uint8_t> data = plain;
    data.insert(data.end(), plain.begin(), plain.end());
    aes.EncryptBlocks(data.data(), data.data(), data.size());
    std::vector<uint8_t> expected = Hex(c.cipher);
    expected.insert(expected.end(), expected.begin(), expected.end());
    EXPECT_EQ(data, expected) << c.key;
  }
  EXPECT_THROW(AesEncryptor(Hex("0001")), std::invalid_argument);
  AesEncryptor aes(Hex(cases[0].key));
  uint8_t odd[17] = {};
  EXPECT_THROW(aes.EncryptBlocks(odd, odd, sizeof odd), std::invalid_argument);
}

TEST(CryptoTest, AesCbcDecryptSp80038aInPieces) {
  const std::vector<uint8_t> iv_bytes = Hex("000102030405060708090a0b0c0d0e0f");
  const std::span<const uint8_t, 16> iv(iv_bytes.data(), 16);
  const std::vector<uint8_t> plain =
      Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const struct {
    const char* key;
    const char* cipher;
  } cases[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c",
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
       "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
  };
  for (const auto& c : cases) {
    AesCbcDecryptor aes(Hex(c.key), iv);
    std::vector<uint8_t> data = Hex(c.cipher);
    aes.Decrypt(data.data(), 16);
    aes.Decrypt(data.data() + 16, 48);
    EXPECT_EQ(data, plain) << c.key;
  }
}

}  // namespace
}  // namespace cindral::codec
