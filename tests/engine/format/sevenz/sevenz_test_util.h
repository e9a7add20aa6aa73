// Sources, sinks and fixture access shared by the 7z reader tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/codec/stream.h"
#include "engine/format/archive.h"
#include "tests/engine/format/recording_sink.h"

namespace cindral::format::sevenz::testing {

inline std::filesystem::path FixturePath(const std::string& name) {
  return std::filesystem::path(CINDRAL_7Z_FIXTURES) / name;
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

class CountingPassword final : public PasswordSource {
 public:
  explicit CountingPassword(std::optional<std::u16string> password = std::nullopt)
      : password_(std::move(password)) {}
  std::optional<std::u16string> Password() override {
    ++asked;
    return password_;
  }
  int asked = 0;

 private:
  std::optional<std::u16string> password_;
};

using format::testing::RecordingSink;

inline std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size())
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace cindral::format::sevenz::testing
