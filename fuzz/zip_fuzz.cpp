// libFuzzer target: opens the input as a ZIP archive and extracts every item,
// with a password for the encrypted ones.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/format/zip/zip_reader.h"

namespace {

using namespace cindral;

class DiscardingSink final : public format::ExtractSink {
 public:
  codec::OutStream* BeginItem(uint32_t) override { return &discard_; }
  void EndItem(uint32_t, format::OperationResult) override {}
  void SetTotal(uint64_t) override {}
  void SetCompleted(uint64_t) override {}
  std::optional<std::u16string> Password() override { return u"password"; }

 private:
  struct Discard final : codec::OutStream {
    void Write(const uint8_t*, size_t) override {}
  } discard_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<format::ArchiveReader> reader;
  try {
    reader = format::zip::OpenZip(
        std::make_shared<format::MemorySource>(std::vector<uint8_t>(data, data + size)));
  } catch (const format::OpenError&) {
    return 0;
  }
  DiscardingSink sink;
  try {
    reader->Extract({}, false, sink);
  } catch (const format::OpenError&) {
    // An archive opened by its count alone extracts nothing.
  }
  return 0;
}
