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

class BufferStream final : public codec::OutStream {
 public:
  void Write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
  }
  std::vector<uint8_t> bytes;
};

// Records everything an extraction reports, checking the call order.
class RecordingSink final : public ExtractSink {
 public:
  explicit RecordingSink(std::optional<std::u16string> password = std::nullopt)
      : password_(std::move(password)) {}

  codec::OutStream* BeginItem(uint32_t index) override {
    if (open_) order_error = true;
    open_ = index;
    begun.push_back(index);
    return &data[index];
  }
  void EndItem(uint32_t index, OperationResult result) override {
    if (open_ != index) order_error = true;
    open_.reset();
    results[index] = result;
  }
  void SetTotal(uint64_t value) override {
    ++total_calls;
    total = value;
  }
  void SetCompleted(uint64_t value) override {
    if (value < completed) order_error = true;
    completed = value;
  }
  std::optional<std::u16string> Password() override {
    ++password_asked;
    return password_;
  }

  std::vector<uint32_t> begun;
  std::map<uint32_t, BufferStream> data;
  std::map<uint32_t, OperationResult> results;
  uint64_t total = 0;
  int total_calls = 0;
  uint64_t completed = 0;
  int password_asked = 0;
  bool order_error = false;

 private:
  std::optional<std::u16string> password_;
  std::optional<uint32_t> open_;
};

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
