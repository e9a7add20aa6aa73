#include "engine/com/host_bridge.h"

#include <algorithm>
#include <limits>
#include <new>

namespace cindral::engine {
namespace {

// Host streams take 32-bit lengths.
constexpr size_t kMaxTransfer = size_t{1} << 30;

}  // namespace

void CheckHost(HRESULT result) {
  if (FAILED(result)) throw format::HostStop{result};
}

HRESULT ResultOfCurrentException() {
  try {
    throw;
  } catch (const format::HostStop& stop) {
    return FAILED(stop.code) ? stop.code : E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

HostSource::HostSource(ComPtr<abi::IInStream> stream) : stream_(std::move(stream)) {
  CheckHost(stream_->Seek(0, abi::kSeekEnd, &size_));
}

void HostSource::ReadAt(uint64_t offset, uint8_t* data, size_t size) {
  if (offset > size_ || size > size_ - offset)
    throw codec::UnexpectedEnd("read beyond the end of the archive");
  if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    throw codec::UnexpectedEnd("read beyond the end of the archive");
  std::lock_guard lock(mutex_);
  CheckHost(stream_->Seek(static_cast<int64_t>(offset), abi::kSeekSet, nullptr));
  while (size != 0) {
    const auto piece = static_cast<abi::UInt32>(std::min(size, kMaxTransfer));
    abi::UInt32 processed = 0;
    CheckHost(stream_->Read(data, piece, &processed));
    // A stream that shrank under us ends early; reporting more than asked
    // would be a broken host, and is treated the same way.
    if (processed == 0 || processed > piece)
      throw codec::UnexpectedEnd("archive stream ended early");
    data += processed;
    size -= processed;
  }
}

void HostOutStream::Write(const uint8_t* data, size_t size) {
  while (size != 0) {
    const auto piece = static_cast<abi::UInt32>(std::min(size, kMaxTransfer));
    abi::UInt32 processed = 0;
    CheckHost(stream_->Write(data, piece, &processed));
    // A stream that takes nothing would keep this loop going for ever.
    if (processed == 0 || processed > piece) throw format::HostStop{E_FAIL};
    data += processed;
    size -= processed;
  }
}

std::optional<std::u16string> AskPassword(IUnknown* callback) {
  if (callback == nullptr) return std::nullopt;
  ComPtr<abi::ICryptoGetTextPassword> asker;
  if (FAILED(callback->QueryInterface(abi::kIidCryptoGetTextPassword, asker.PutVoid())) || !asker)
    return std::nullopt;
  UniqueBstr password;
  const HRESULT result = asker->CryptoGetTextPassword(password.Put());
  CheckHost(result);
  if (result != S_OK) return std::nullopt;
  // A null BSTR is the empty string.
  const auto* text = reinterpret_cast<const char16_t*>(password.Get());
  return std::u16string(text ? text : u"", SysStringLen(password.Get()));
}

std::optional<std::u16string> OpenPasswords::Password() { return AskPassword(callback_); }

codec::OutStream* ExtractBridge::BeginItem(uint32_t index) {
  output_.reset();
  const abi::Int32 mode = test_ ? abi::kAskTest : abi::kAskExtract;
  ComPtr<abi::ISequentialOutStream> stream;
  CheckHost(callback_->GetStream(index, stream.Put(), mode));
  CheckHost(callback_->PrepareOperation(mode));
  if (test_ || !stream) return nullptr;
  output_.emplace(std::move(stream));
  return &*output_;
}

void ExtractBridge::EndItem(uint32_t, format::OperationResult result) {
  // The host's stream is let go first, so the host can finish its file.
  output_.reset();
  CheckHost(callback_->SetOperationResult(static_cast<abi::Int32>(result)));
}

void ExtractBridge::SetTotal(uint64_t total) { CheckHost(callback_->SetTotal(total)); }

void ExtractBridge::SetCompleted(uint64_t completed) {
  CheckHost(callback_->SetCompleted(&completed));
}

std::optional<std::u16string> ExtractBridge::Password() { return AskPassword(callback_); }

}  // namespace cindral::engine
