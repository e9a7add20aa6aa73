// libFuzzer target: opens the input as a 7z archive and tests every item.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/format/sevenz/sevenz_reader.h"

namespace {

using namespace cindral;

class BytesSource final : public format::ArchiveSource {
 public:
  BytesSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() override { return size_; }
  void ReadAt(uint64_t offset, uint8_t* out, size_t size) override {
    if (offset > size_ || size > size_ - offset) throw codec::UnexpectedEnd("beyond the input");
    std::memcpy(out, data_ + offset, size);
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

class FixedPassword final : public format::PasswordSource {
 public:
  std::optional<std::u16string> Password() override { return u"pw"; }
};

class DiscardingSink final : public format::ExtractSink {
 public:
  codec::OutStream* BeginItem(uint32_t) override { return nullptr; }
  void EndItem(uint32_t, format::OperationResult) override {}
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}
  std::optional<std::u16string> Password() override { return u"pw"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FixedPassword passwords;
  std::unique_ptr<format::ArchiveReader> reader;
  try {
    reader = format::sevenz::OpenSevenZip(std::make_shared<BytesSource>(data, size), passwords);
  } catch (const format::OpenError&) {
    return 0;
  }
  DiscardingSink sink;
  reader->Extract({}, true, sink);
  return 0;
}
