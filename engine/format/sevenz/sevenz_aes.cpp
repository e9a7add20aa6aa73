#include "engine/format/sevenz/sevenz_aes.h"

#include <algorithm>
#include <cstring>

#include "engine/codec/crypto.h"

namespace cindral::format::sevenz {
namespace {

// 7-Zip itself writes 19; more than 2^24 rounds would let a header stall the reader.
constexpr unsigned kMaxCyclesPower = 24;
constexpr unsigned kRawKeyCyclesPower = 0x3F;
constexpr size_t kBlockSize = codec::AesCbcDecryptor::kBlockSize;

std::vector<uint8_t> PasswordBytes(std::u16string_view password) {
  std::vector<uint8_t> bytes;
  for (char16_t c : password) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

class AesDecoder final : public codec::InStream {
 public:
  AesDecoder(codec::InStream& input, std::span<const uint8_t> key,
             std::span<const uint8_t, kBlockSize> iv)
      : input_(input), cipher_(key, iv) {}

  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      if (position_ == filled_ && !Refill()) break;
      const size_t count = std::min(size - done, filled_ - position_);
      std::memcpy(data + done, buffer_.data() + position_, count);
      position_ += count;
      done += count;
    }
    return done;
  }

 private:
  bool Refill() {
    size_t got = 0;
    while (got < buffer_.size()) {
      const size_t n = input_.Read(buffer_.data() + got, buffer_.size() - got);
      if (n == 0) break;
      got += n;
    }
    if (got % kBlockSize != 0) throw codec::UnexpectedEnd("7z AES data ends inside a block");
    cipher_.Decrypt(buffer_.data(), got);
    position_ = 0;
    filled_ = got;
    return got != 0;
  }

  codec::InStream& input_;
  codec::AesCbcDecryptor cipher_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(1 << 16);
  size_t position_ = 0;
  size_t filled_ = 0;
};

}  // namespace

std::array<uint8_t, 32> DeriveKey(std::u16string_view password, unsigned cycles_power,
                                  std::span<const uint8_t> salt) {
  const std::vector<uint8_t> password_bytes = PasswordBytes(password);
  std::array<uint8_t, 32> key{};
  if (cycles_power == kRawKeyCyclesPower) {
    std::vector<uint8_t> raw(salt.begin(), salt.end());
    raw.insert(raw.end(), password_bytes.begin(), password_bytes.end());
    std::copy_n(raw.begin(), std::min(raw.size(), key.size()), key.begin());
    return key;
  }
  if (cycles_power > kMaxCyclesPower) throw codec::Unsupported("7z AES cycle count too large");

  // Each round hashes salt, password and a 64-bit counter; many rounds are
  // laid out in one buffer so that the hash sees few, large updates.
  const size_t round_size = salt.size() + password_bytes.size() + 8;
  const uint64_t rounds = uint64_t{1} << cycles_power;
  const size_t batch =
      static_cast<size_t>(std::min<uint64_t>(rounds, std::max<size_t>(1, (1 << 18) / round_size)));
  std::vector<uint8_t> buffer(batch * round_size);
  for (size_t i = 0; i < batch; ++i) {
    uint8_t* round = buffer.data() + i * round_size;
    std::copy(salt.begin(), salt.end(), round);
    std::copy(password_bytes.begin(), password_bytes.end(), round + salt.size());
  }
  codec::Sha256 sha;
  for (uint64_t counter = 0; counter < rounds;) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(batch, rounds - counter));
    for (size_t i = 0; i < count; ++i, ++counter) {
      uint8_t* field = buffer.data() + i * round_size + round_size - 8;
      for (int b = 0; b < 8; ++b) field[b] = static_cast<uint8_t>(counter >> (8 * b));
    }
    sha.Update(std::span(buffer).first(count * round_size));
  }
  return sha.Final();
}

void KeyCache::AskPassword() {
  std::lock_guard lock(mutex_);
  if (asked_) return;
  asked_ = true;
  password_ = ask_();
}

std::array<uint8_t, 32> KeyCache::Key(unsigned cycles_power, std::span<const uint8_t> salt) {
  AskPassword();
  std::lock_guard lock(mutex_);
  if (!password_) throw MissingPassword("no password for encrypted 7z data");
  for (const Entry& entry : entries_) {
    if (entry.cycles_power == cycles_power &&
        std::equal(entry.salt.begin(), entry.salt.end(), salt.begin(), salt.end()))
      return entry.key;
  }
  const auto key = DeriveKey(*password_, cycles_power, salt);
  entries_.push_back({cycles_power, {salt.begin(), salt.end()}, key});
  return key;
}

std::unique_ptr<codec::InStream> MakeAesDecoder(codec::InStream& input,
                                                std::span<const uint8_t> properties,
                                                KeyCache& keys) {
  if (properties.empty()) throw codec::Unsupported("7z AES properties missing");
  const uint8_t first = properties[0];
  const unsigned cycles_power = first & 0x3F;
  size_t salt_size = 0;
  size_t iv_size = 0;
  if (first & 0xC0) {
    if (properties.size() < 2) throw codec::Unsupported("bad 7z AES properties");
    salt_size = ((first >> 7) & 1) + (properties[1] >> 4);
    iv_size = ((first >> 6) & 1) + (properties[1] & 0x0F);
    if (properties.size() != 2 + salt_size + iv_size)
      throw codec::Unsupported("bad 7z AES properties");
  }
  const auto stored = properties.subspan(std::min<size_t>(2, properties.size()));
  const auto salt = stored.first(salt_size);
  std::array<uint8_t, kBlockSize> iv{};
  std::copy_n(stored.begin() + salt_size, iv_size, iv.begin());
  const auto key = keys.Key(cycles_power, salt);
  return std::make_unique<AesDecoder>(input, key, iv);
}

}  // namespace cindral::format::sevenz
