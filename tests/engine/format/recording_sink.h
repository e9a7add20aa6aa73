// An extraction sink for the reader tests of both formats: records every
// call, each item's bytes, and whether the calls came in the documented order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/codec/stream.h"
#include "engine/format/archive.h"

namespace cindral::format::testing {

class RecordingSink final : public ExtractSink {
 public:
  explicit RecordingSink(std::optional<std::u16string> password = std::nullopt)
      : password_(std::move(password)) {}

  codec::OutStream* BeginItem(uint32_t index) override {
    if (open_) order_error = true;
    open_ = index;
    begun.push_back(index);
    Collect& stream = streams_[index];
    stream.target = &outputs[index];
    return &stream;
  }
  void EndItem(uint32_t index, OperationResult result) override {
    if (open_ != index) order_error = true;
    open_.reset();
    results[index] = result;
  }
  void SetTotal(uint64_t value) override {
    total = value;
    ++total_calls;
  }
  void SetCompleted(uint64_t value) override {
    if (!completed.empty() && value < completed.back()) order_error = true;
    completed.push_back(value);
  }
  std::optional<std::u16string> Password() override {
    ++password_calls;
    return password_;
  }

  uint64_t LastCompleted() const { return completed.empty() ? 0 : completed.back(); }
  // An item never begun counts as empty.
  bool OutputIs(uint32_t index, const std::vector<uint8_t>& expected) const {
    const auto found = outputs.find(index);
    if (found == outputs.end()) return expected.empty();
    return found->second == std::string(expected.begin(), expected.end());
  }

  std::vector<uint32_t> begun;
  std::map<uint32_t, std::string> outputs;
  std::map<uint32_t, OperationResult> results;
  uint64_t total = 0;
  int total_calls = 0;
  std::vector<uint64_t> completed;
  int password_calls = 0;
  bool order_error = false;

 private:
  struct Collect final : codec::OutStream {
    void Write(const uint8_t* data, size_t size) override {
      target->append(reinterpret_cast<const char*>(data), size);
    }
    std::string* target = nullptr;
  };
  std::optional<std::u16string> password_;
  std::optional<uint32_t> open_;
  std::map<uint32_t, Collect> streams_;
};

}  // namespace cindral::format::testing
