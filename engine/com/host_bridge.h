// The portable reader contract on top of the host's streams and callbacks:
// each class turns one host interface into what the readers call, and every
// host answer other than success into HostStop.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "common/win_owners.h"
#include "engine/abi/archive_interfaces.h"
#include "engine/format/archive.h"

namespace cindral::engine {

// Throws HostStop for a failed host call. Success codes other than S_OK,
// such as S_FALSE for "no value", are success.
void CheckHost(HRESULT result);

// The result for the exception being handled, for the engine's answer to the
// host: a host's own failure code, E_OUTOFMEMORY or E_FAIL; never a success
// code, so a write that stopped half-way can never be reported as done.
HRESULT ResultOfCurrentException();

// The host's IInStream as random access. Readers may read from several
// threads, and Seek + Read is one operation, so both run under one lock.
class HostSource final : public format::ArchiveSource {
 public:
  explicit HostSource(ComPtr<abi::IInStream> stream);

  uint64_t Size() override { return size_; }
  void ReadAt(uint64_t offset, uint8_t* data, size_t size) override;

 private:
  std::mutex mutex_;
  ComPtr<abi::IInStream> stream_;
  uint64_t size_ = 0;
};

// The host's ISequentialOutStream as a codec sink. A host stream may take
// fewer bytes than offered; Write keeps offering the rest.
class HostOutStream final : public codec::OutStream {
 public:
  explicit HostOutStream(ComPtr<abi::ISequentialOutStream> stream) : stream_(std::move(stream)) {}
  void Write(const uint8_t* data, size_t size) override;

 private:
  ComPtr<abi::ISequentialOutStream> stream_;
};

// Asks a callback for a password through ICryptoGetTextPassword, looked up
// only at the moment a password is needed. A host without the interface, or
// one that answers S_FALSE, gives none; a failed answer stops the operation.
std::optional<std::u16string> AskPassword(IUnknown* callback);

// Header passwords during Open come from the open callback.
class OpenPasswords final : public format::PasswordSource {
 public:
  explicit OpenPasswords(abi::IArchiveOpenCallback* callback) : callback_(callback) {}
  std::optional<std::u16string> Password() override;

 private:
  abi::IArchiveOpenCallback* callback_;
};

// One Extract call's sink over IArchiveExtractCallback.
class ExtractBridge final : public format::ExtractSink {
 public:
  ExtractBridge(abi::IArchiveExtractCallback* callback, bool test)
      : callback_(callback), test_(test) {}

  codec::OutStream* BeginItem(uint32_t index) override;
  void EndItem(uint32_t index, format::OperationResult result) override;
  void SetTotal(uint64_t total) override;
  void SetCompleted(uint64_t completed) override;
  std::optional<std::u16string> Password() override;

 private:
  abi::IArchiveExtractCallback* callback_;
  bool test_;
  std::optional<HostOutStream> output_;
};

}  // namespace cindral::engine
