// Host-side objects for driving the real engine library: an in-memory archive
// stream, recording callbacks and the loaded DLL.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/com_object.h"
#include "common/win_owners.h"
#include "engine/abi/archive_interfaces.h"

namespace cindral::testing {

std::filesystem::path TestFolder();  // build/bin
std::filesystem::path FixtureFolder();
std::vector<uint8_t> ReadFixture(const std::filesystem::path& relative);

// The engine loaded from the dist folder, as the program loads it.
class EngineDll {
 public:
  EngineDll();
  abi::CreateObjectFunction create = nullptr;
  HMODULE module() const { return module_.Get(); }

  // A handler of the given class with its archive already opened.
  ComPtr<abi::IInArchive> Handler(const GUID& class_id);

 private:
  UniqueModule module_;
};

// An archive in memory. Notes when two calls overlap, which the engine's
// serialisation of its readers must prevent.
class MemoryInStream final : public ComObject<abi::IInStream> {
 public:
  explicit MemoryInStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  HRESULT STDMETHODCALLTYPE Read(void* data, abi::UInt32 size, abi::UInt32* processed) override;
  HRESULT STDMETHODCALLTYPE Seek(abi::Int64 offset, abi::UInt32 origin,
                                 abi::UInt64* position) override;

  std::atomic<int> overlapping_calls{0};
  std::atomic<int> reads{0};

 private:
  struct Guard;
  std::vector<uint8_t> bytes_;
  uint64_t position_ = 0;
  std::atomic<int> inside_{0};
};

ComPtr<abi::IInStream> StreamOf(std::vector<uint8_t> bytes);

// Appends to a buffer; takes at most max_write bytes per call when set, and
// fails with fail_with once fail_after bytes are in.
class MemoryOutStream final : public ComObject<abi::ISequentialOutStream> {
 public:
  HRESULT STDMETHODCALLTYPE Write(const void* data, abi::UInt32 size,
                                  abi::UInt32* processed) override;

  std::vector<uint8_t> bytes;
  abi::UInt32 max_write = 0;
  std::optional<size_t> fail_after;
  HRESULT fail_with = E_FAIL;
  int writes = 0;
};

// What one item went through during Extract.
struct ItemRecord {
  std::vector<abi::Int32> ask_modes;  // from GetStream, then PrepareOperation
  std::optional<abi::Int32> result;
  ComPtr<MemoryOutStream> stream;
  std::string Text() const;
};

// Offers ICryptoGetTextPassword only when a password is set.
class RecordingExtractCallback final
    : public ComObject<abi::IArchiveExtractCallback, abi::ICryptoGetTextPassword> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE SetTotal(abi::UInt64 total) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* completed) override;
  HRESULT STDMETHODCALLTYPE GetStream(abi::UInt32 index, abi::ISequentialOutStream** out,
                                      abi::Int32 askMode) override;
  HRESULT STDMETHODCALLTYPE PrepareOperation(abi::Int32 askMode) override;
  HRESULT STDMETHODCALLTYPE SetOperationResult(abi::Int32 result) override;
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

  // Settings.
  std::optional<std::wstring> password;
  HRESULT password_answer = S_OK;
  std::optional<abi::UInt32> abort_at_stream;  // GetStream of this index answers E_ABORT
  abi::UInt32 max_write = 0;
  std::optional<size_t> fail_write_after;
  HRESULT fail_write_with = E_FAIL;

  // Observations.
  std::map<abi::UInt32, ItemRecord> items;
  std::vector<abi::UInt32> order;
  std::optional<abi::UInt64> total;
  abi::UInt64 last_completed = 0;
  int password_queries = 0;  // QueryInterface for ICryptoGetTextPassword
  int password_requests = 0;

 private:
  std::optional<abi::UInt32> current_;
};

// Answers header password requests when a password is set.
class RecordingOpenCallback final
    : public ComObject<abi::IArchiveOpenCallback, abi::ICryptoGetTextPassword> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE SetTotal(const abi::UInt64* files, const abi::UInt64* bytes) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* files,
                                         const abi::UInt64* bytes) override;
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

  std::optional<std::wstring> password;
  HRESULT password_answer = S_OK;
  HRESULT progress_answer = S_OK;
  int password_requests = 0;
};

template <typename T>
ComPtr<T> Make() {
  return ComPtr<T>::Adopt(new T());
}

// Values for ISetProperties, and the call on a handler, which clears them.
PROPVARIANT UInt32Value(ULONG number);
PROPVARIANT StringValue(const wchar_t* text);
HRESULT SetHandlerProperties(IUnknown* handler, const std::vector<const wchar_t*>& names,
                             std::vector<PROPVARIANT> values);

// Property reads through the handler.
std::wstring PathOf(abi::IInArchive* archive, abi::UInt32 index);
VARTYPE TypeOf(abi::IInArchive* archive, abi::UInt32 index, PROPID id);

}  // namespace cindral::testing
