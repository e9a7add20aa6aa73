// libFuzzer target: opens the input as a 7z archive and tests every item.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/format/sevenz/sevenz_header.h"
#include "engine/format/sevenz/sevenz_reader.h"

namespace {

using namespace cindral;

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

uint64_t LoadLe64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= uint64_t{p[i]} << (8 * i);
  return value;
}

void StoreLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Mutations almost never keep the header CRCs right; correcting them lets
// the fuzzer reach the header parser and the decoders behind it.
void FixCrcs(std::vector<uint8_t>& bytes) {
  if (bytes.size() < 32) return;
  const uint64_t offset = LoadLe64(&bytes[12]);
  const uint64_t size = LoadLe64(&bytes[20]);
  const uint64_t space = bytes.size() - 32;
  if (offset <= space && size <= space - offset)
    StoreLe32(&bytes[28], format::sevenz::Crc32(std::span(bytes).subspan(32 + offset, size)));
  StoreLe32(&bytes[8], format::sevenz::Crc32(std::span(bytes).subspan(12, 20)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  FixCrcs(bytes);
  FixedPassword passwords;
  std::unique_ptr<format::ArchiveReader> reader;
  try {
    reader = format::sevenz::OpenSevenZip(std::make_shared<format::MemorySource>(bytes), passwords);
  } catch (const format::OpenError&) {
    return 0;
  }
  DiscardingSink sink;
  try {
    reader->Extract({}, true, sink);
  } catch (const format::OpenError&) {
    // An archive opened by its count alone extracts nothing.
  }
  return 0;
}
