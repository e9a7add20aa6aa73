#include "tests/engine/com/engine_test_support.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/wine_support.h"

namespace cindral::testing {

std::filesystem::path TestFolder() { return ThisProgram().parent_path(); }

std::filesystem::path FixtureFolder() { return TestFolder() / "engine_fixtures"; }

std::vector<uint8_t> ReadFixture(const std::filesystem::path& relative) {
  std::ifstream file(FixtureFolder() / relative, std::ios::binary);
  EXPECT_TRUE(file) << "missing fixture " << relative;
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

EngineDll::EngineDll() {
  const std::filesystem::path path = TestFolder().parent_path() / "dist" / "Cindral.Engine.dll";
  module_.Reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  EXPECT_TRUE(module_) << "cannot load " << path << ": error " << GetLastError();
  if (module_)
    create = reinterpret_cast<abi::CreateObjectFunction>(
        reinterpret_cast<void*>(GetProcAddress(module_.Get(), "CreateObject")));
  EXPECT_NE(create, nullptr);
}

ComPtr<abi::IInArchive> EngineDll::Handler(const GUID& class_id) {
  ComPtr<abi::IInArchive> archive;
  if (create) {
    EXPECT_EQ(create(&class_id, &abi::kIidInArchive, archive.PutVoid()), S_OK);
  }
  return archive;
}

struct MemoryInStream::Guard {
  explicit Guard(MemoryInStream& stream) : stream_(stream) {
    if (stream_.inside_.fetch_add(1) != 0) ++stream_.overlapping_calls;
  }
  ~Guard() { --stream_.inside_; }
  MemoryInStream& stream_;
};

HRESULT MemoryInStream::Read(void* data, abi::UInt32 size, abi::UInt32* processed) {
  Guard guard(*this);
  ++reads;
  // Give the other threads a chance to run into this one.
  Sleep(0);
  const uint64_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
  const auto count = static_cast<abi::UInt32>(std::min<uint64_t>(size, available));
  if (count) std::memcpy(data, bytes_.data() + position_, count);
  position_ += count;
  if (processed) *processed = count;
  return S_OK;
}

HRESULT MemoryInStream::Seek(abi::Int64 offset, abi::UInt32 origin, abi::UInt64* position) {
  Guard guard(*this);
  int64_t base = 0;
  if (origin == abi::kSeekCurrent) base = static_cast<int64_t>(position_);
  if (origin == abi::kSeekEnd) base = static_cast<int64_t>(bytes_.size());
  if (origin > abi::kSeekEnd || base + offset < 0) return E_INVALIDARG;
  position_ = static_cast<uint64_t>(base + offset);
  if (position) *position = position_;
  return S_OK;
}

ComPtr<abi::IInStream> StreamOf(std::vector<uint8_t> bytes) {
  return ComPtr<abi::IInStream>::Adopt(new MemoryInStream(std::move(bytes)));
}

HRESULT MemoryOutStream::Write(const void* data, abi::UInt32 size, abi::UInt32* processed) {
  ++writes;
  if (processed) *processed = 0;
  if (fail_after && bytes.size() >= *fail_after) return fail_with;
  const abi::UInt32 count = max_write ? std::min(size, max_write) : size;
  const auto* begin = static_cast<const uint8_t*>(data);
  bytes.insert(bytes.end(), begin, begin + count);
  if (processed) *processed = count;
  return S_OK;
}

std::string ItemRecord::Text() const {
  if (!stream) return {};
  return {stream->bytes.begin(), stream->bytes.end()};
}

HRESULT RecordingExtractCallback::QueryInterface(REFIID iid, void** out) {
  if (iid == abi::kIidCryptoGetTextPassword) {
    ++password_queries;
    if (!password) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
  }
  return ComObject::QueryInterface(iid, out);
}

HRESULT RecordingExtractCallback::SetTotal(abi::UInt64 value) {
  EXPECT_FALSE(total.has_value()) << "SetTotal twice";
  total = value;
  return S_OK;
}

HRESULT RecordingExtractCallback::SetCompleted(const abi::UInt64* completed) {
  if (completed) {
    EXPECT_GE(*completed, last_completed) << "progress went back";
    last_completed = *completed;
  }
  return S_OK;
}

HRESULT RecordingExtractCallback::GetStream(abi::UInt32 index, abi::ISequentialOutStream** out,
                                            abi::Int32 askMode) {
  *out = nullptr;
  current_ = index;
  order.push_back(index);
  ItemRecord& item = items[index];
  item.ask_modes.push_back(askMode);
  if (abort_at_stream == index) return E_ABORT;
  if (askMode != abi::kAskExtract) return S_OK;
  item.stream = Make<MemoryOutStream>();
  item.stream->max_write = max_write;
  item.stream->fail_after = fail_write_after;
  item.stream->fail_with = fail_write_with;
  *out = ComPtr<abi::ISequentialOutStream>::Share(item.stream.Get()).Detach();
  return S_OK;
}

HRESULT RecordingExtractCallback::PrepareOperation(abi::Int32 askMode) {
  EXPECT_TRUE(current_.has_value());
  if (current_) items[*current_].ask_modes.push_back(askMode);
  return S_OK;
}

HRESULT RecordingExtractCallback::SetOperationResult(abi::Int32 result) {
  EXPECT_TRUE(current_.has_value()) << "result without an item";
  if (!current_) return E_FAIL;
  ItemRecord& item = items[*current_];
  EXPECT_FALSE(item.result.has_value()) << "second result for item " << *current_;
  item.result = result;
  current_.reset();
  return S_OK;
}

HRESULT RecordingExtractCallback::CryptoGetTextPassword(BSTR* out) {
  ++password_requests;
  *out = nullptr;
  if (password_answer != S_OK) return password_answer;
  *out = SysAllocString(password->c_str());
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT RecordingOpenCallback::QueryInterface(REFIID iid, void** out) {
  if (iid == abi::kIidCryptoGetTextPassword && !password) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  return ComObject::QueryInterface(iid, out);
}

HRESULT RecordingOpenCallback::SetTotal(const abi::UInt64*, const abi::UInt64*) {
  return progress_answer;
}

HRESULT RecordingOpenCallback::SetCompleted(const abi::UInt64*, const abi::UInt64*) {
  return progress_answer;
}

HRESULT RecordingOpenCallback::CryptoGetTextPassword(BSTR* out) {
  ++password_requests;
  *out = nullptr;
  if (password_answer != S_OK) return password_answer;
  *out = SysAllocString(password->c_str());
  return *out ? S_OK : E_OUTOFMEMORY;
}

PROPVARIANT UInt32Value(ULONG number) {
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_UI4;
  value.ulVal = number;
  return value;
}

PROPVARIANT StringValue(const wchar_t* text) {
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  return value;
}

HRESULT SetHandlerProperties(IUnknown* handler, const std::vector<const wchar_t*>& names,
                             std::vector<PROPVARIANT> values) {
  ComPtr<abi::ISetProperties> properties;
  if (FAILED(handler->QueryInterface(abi::kIidSetProperties, properties.PutVoid())) || !properties)
    return E_NOINTERFACE;
  const HRESULT result = properties->SetProperties(names.data(), values.data(),
                                                   static_cast<abi::UInt32>(names.size()));
  for (PROPVARIANT& value : values) PropVariantClear(&value);
  return result;
}

std::wstring PathOf(abi::IInArchive* archive, abi::UInt32 index) {
  UniquePropVariant value;
  EXPECT_EQ(archive->GetProperty(index, abi::kpidPath, value.Put()), S_OK);
  if (value.Get().vt != VT_BSTR) return L"<not a string>";
  return value.Get().bstrVal;
}

VARTYPE TypeOf(abi::IInArchive* archive, abi::UInt32 index, PROPID id) {
  UniquePropVariant value;
  EXPECT_EQ(archive->GetProperty(index, id, value.Put()), S_OK);
  return value.Get().vt;
}

}  // namespace cindral::testing
