// 7z's AES-256 coder (06F10701): CBC decryption with a key derived from the
// password by iterated SHA-256.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/codec/stream.h"

namespace cindral::format::sevenz {

// No password was given for an encrypted folder.
struct MissingPassword : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Asks for the password at most once and remembers derived keys, so that
// folders sharing salt and cycle count pay for the derivation only once.
class KeyCache {
 public:
  explicit KeyCache(std::function<std::optional<std::u16string>()> ask) : ask_(std::move(ask)) {}
  // Throws MissingPassword when none is given. Safe to call from several threads.
  std::array<uint8_t, 32> Key(unsigned cycles_power, std::span<const uint8_t> salt);
  // Asks now rather than when the first key is needed.
  void AskPassword();

 private:
  struct Entry {
    unsigned cycles_power;
    std::vector<uint8_t> salt;
    std::array<uint8_t, 32> key;
  };
  std::mutex mutex_;
  std::function<std::optional<std::u16string>()> ask_;
  bool asked_ = false;
  std::optional<std::u16string> password_;
  std::vector<Entry> entries_;
};

std::array<uint8_t, 32> DeriveKey(std::u16string_view password, unsigned cycles_power,
                                  std::span<const uint8_t> salt);

// properties: the coder's properties (cycle power, salt, IV). Throws
// codec::Unsupported for malformed properties.
std::unique_ptr<codec::InStream> MakeAesDecoder(codec::InStream& input,
                                                std::span<const uint8_t> properties,
                                                KeyCache& keys);

}  // namespace cindral::format::sevenz
