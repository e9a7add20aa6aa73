// Writing a ZIP through the engine library's IOutArchive with a host
// callback in memory, and reading it back through the same library.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/engine/com/engine_test_support.h"

namespace cindral::testing {
namespace {

struct SourceItem {
  std::wstring name;
  std::vector<uint8_t> bytes;
};

// Offers its items as new files. Properties listed in absent answer S_FALSE
// with no value, as a host that knows nothing about them may.
class SourceCallback final : public ComObject<abi::IArchiveUpdateCallback> {
 public:
  std::vector<SourceItem> items;
  std::vector<PROPID> absent;
  HRESULT stream_answer = S_OK;

  HRESULT STDMETHODCALLTYPE SetTotal(abi::UInt64) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetUpdateItemInfo(abi::UInt32, abi::Int32* new_data,
                                              abi::Int32* new_properties,
                                              abi::UInt32* index_in_archive) override {
    *new_data = 1;
    *new_properties = 1;
    *index_in_archive = 0xFFFFFFFF;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProperty(abi::UInt32 index, PROPID id, PROPVARIANT* value) override {
    PropVariantInit(value);
    if (std::find(absent.begin(), absent.end(), id) != absent.end()) return S_FALSE;
    const SourceItem& item = items.at(index);
    if (id == abi::kpidPath) {
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString(item.name.c_str());
    } else if (id == abi::kpidIsDirectory) {
      value->vt = VT_BOOL;
      value->boolVal = VARIANT_FALSE;
    } else if (id == abi::kpidSize) {
      value->vt = VT_UI8;
      value->uhVal.QuadPart = item.bytes.size();
    } else if (id == abi::kpidAttributes) {
      value->vt = VT_UI4;
      value->ulVal = FILE_ATTRIBUTE_ARCHIVE;
    } else if (id == abi::kpidModificationTime) {
      value->vt = VT_FILETIME;
      value->filetime = {0xD53E8000, 0x01D9F4A2};  // 2023-10-01
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStream(abi::UInt32 index, abi::ISequentialInStream** in) override {
    *in = nullptr;
    if (FAILED(stream_answer)) return stream_answer;
    *in = StreamOf(items.at(index).bytes).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetOperationResult(abi::Int32) override { return S_OK; }
};

// Compressible but not trivial: a counter's digits, one per line.
std::vector<uint8_t> CountingText(size_t size) {
  std::string text;
  for (size_t line = 0; text.size() < size; ++line) text += std::to_string(line * 7919) + "\n";
  text.resize(size);
  return {text.begin(), text.end()};
}

class EngineUpdateTest : public ::testing::Test {
 protected:
  ComPtr<abi::IOutArchive> ZipWriter(const std::vector<const wchar_t*>& names = {},
                                     std::vector<PROPVARIANT> values = {}) {
    ComPtr<abi::IInArchive> handler = engine_.Handler(abi::kZipHandlerClassId);
    if (!handler) return {};
    if (!names.empty()) {
      EXPECT_EQ(SetHandlerProperties(handler.Get(), names, std::move(values)), S_OK);
    }
    return handler.As<abi::IOutArchive>(abi::kIidOutArchive);
  }

  HRESULT Write(abi::IOutArchive* writer, SourceCallback* source) {
    return writer->UpdateItems(output_.Get(), static_cast<abi::UInt32>(source->items.size()),
                               source);
  }

  // The written archive's items as "name=content" through the ZIP reader.
  std::vector<std::string> ReadBack() {
    ComPtr<abi::IInArchive> reader = engine_.Handler(abi::kZipHandlerClassId);
    ComPtr<abi::IInStream> stream = StreamOf(output_->bytes);
    if (reader->Open(stream.Get(), nullptr, nullptr) != S_OK) return {"<not an archive>"};
    auto callback = Make<RecordingExtractCallback>();
    EXPECT_EQ(reader->Extract(nullptr, abi::kAllItems, 0, callback.Get()), S_OK);
    std::vector<std::string> result;
    for (const auto& [index, record] : callback->items) {
      const std::wstring path = PathOf(reader.Get(), index);
      result.push_back(std::string(path.begin(), path.end()) + "=" + record.Text());
    }
    return result;
  }

  // The compression method of the first local header.
  uint16_t FirstMethod() const {
    const std::vector<uint8_t>& bytes = output_->bytes;
    if (bytes.size() < 10) return 0xFFFF;
    return static_cast<uint16_t>(bytes[8] | bytes[9] << 8);
  }

  EngineDll engine_;
  ComPtr<MemoryOutStream> output_ = Make<MemoryOutStream>();
};

TEST_F(EngineUpdateTest, AHostWithoutSomePropertiesStillGetsTheWholeArchive) {
  auto source = Make<SourceCallback>();
  source->items = {{L"a.txt", CountingText(1000)}, {L"b.txt", CountingText(10)}};
  // S_FALSE is the interface's "no value", not a failure and not a stop.
  source->absent = {abi::kpidAttributes, abi::kpidModificationTime};
  ComPtr<abi::IOutArchive> writer = ZipWriter();
  ASSERT_TRUE(writer);
  ASSERT_EQ(Write(writer.Get(), source.Get()), S_OK);
  const std::vector<uint8_t> a = CountingText(1000);
  EXPECT_EQ(ReadBack(), (std::vector<std::string>{"a.txt=" + std::string(a.begin(), a.end()),
                                                  "b.txt=0\n7919\n158"}));
}

TEST_F(EngineUpdateTest, AHostFailureIsAnsweredWithItsOwnCode) {
  auto source = Make<SourceCallback>();
  source->items = {{L"a.txt", CountingText(100)}};
  source->stream_answer = E_ACCESSDENIED;
  ComPtr<abi::IOutArchive> writer = ZipWriter();
  ASSERT_TRUE(writer);
  EXPECT_EQ(Write(writer.Get(), source.Get()), E_ACCESSDENIED);
}

// A host may ask for any number of threads; the engine starts no more than
// the machine has processors, instead of dying on the thousands it cannot start.
TEST_F(EngineUpdateTest, AHugeThreadCountIsClampedNotObeyed) {
  auto source = Make<SourceCallback>();
  const std::vector<uint8_t> big = CountingText(5 << 20);  // several pieces for the pool
  source->items = {{L"big.txt", big}};
  ComPtr<abi::IOutArchive> writer = ZipWriter({L"mt"}, {UInt32Value(100000)});
  ASSERT_TRUE(writer);
  ASSERT_EQ(Write(writer.Get(), source.Get()), S_OK);
  EXPECT_EQ(ReadBack(), std::vector<std::string>{"big.txt=" + std::string(big.begin(), big.end())});
}

TEST_F(EngineUpdateTest, MethodCopyStoresAndDeflateCompresses) {
  for (const auto& [method, expected] : {std::pair{L"Copy", 0}, std::pair{L"Deflate", 8}}) {
    output_ = Make<MemoryOutStream>();
    auto source = Make<SourceCallback>();
    source->items = {{L"a.txt", CountingText(4000)}};
    ComPtr<abi::IOutArchive> writer = ZipWriter({L"m"}, {StringValue(method)});
    ASSERT_TRUE(writer);
    ASSERT_EQ(Write(writer.Get(), source.Get()), S_OK);
    EXPECT_EQ(FirstMethod(), expected) << method;
    EXPECT_EQ(ReadBack().size(), 1u);
  }
}

}  // namespace
}  // namespace cindral::testing
