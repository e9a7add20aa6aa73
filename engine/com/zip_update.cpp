#include "engine/com/zip_update.h"

#include <optional>
#include <stdexcept>

#include "common/win_owners.h"
#include "engine/com/host_bridge.h"
#include "engine/format/archive.h"
#include "engine/format/zip/zip_writer.h"

namespace cindral::engine {
namespace {

using format::HostStop;
using format::zip::WriteItem;

// Pulls from the host's stream until the buffer is full or the stream ends,
// as the portable streams promise.
class HostInStream final : public codec::InStream {
 public:
  explicit HostInStream(ComPtr<abi::ISequentialInStream> stream) : stream_(std::move(stream)) {}
  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const auto chunk = static_cast<abi::UInt32>(std::min<size_t>(size - done, 1u << 30));
      abi::UInt32 processed = 0;
      CheckHost(stream_->Read(data + done, chunk, &processed));
      if (processed == 0) break;
      done += processed;
    }
    return done;
  }

 private:
  ComPtr<abi::ISequentialInStream> stream_;
};

class UpdateSource final : public format::zip::WriteSource {
 public:
  UpdateSource(abi::IArchiveUpdateCallback* callback, abi::UInt32 count)
      : callback_(callback), count_(count) {}

  uint32_t ItemCount() override { return count_; }

  WriteItem Item(uint32_t index) override {
    abi::Int32 new_data = 0;
    abi::Int32 new_properties = 0;
    abi::UInt32 index_in_archive = 0;
    CheckHost(callback_->GetUpdateItemInfo(index, &new_data, &new_properties, &index_in_archive));
    WriteItem item;
    UniquePropVariant value;
    CheckHost(callback_->GetProperty(index, abi::kpidPath, value.Put()));
    if (value.Get().vt == VT_BSTR && value.Get().bstrVal != nullptr) {
      const BSTR text = value.Get().bstrVal;
      item.name.assign(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
    }
    CheckHost(callback_->GetProperty(index, abi::kpidIsDirectory, value.Put()));
    item.is_directory = value.Get().vt == VT_BOOL && value.Get().boolVal != VARIANT_FALSE;
    CheckHost(callback_->GetProperty(index, abi::kpidSize, value.Put()));
    if (value.Get().vt == VT_UI8) item.size = value.Get().uhVal.QuadPart;
    CheckHost(callback_->GetProperty(index, abi::kpidAttributes, value.Put()));
    if (value.Get().vt == VT_UI4) item.attributes = value.Get().ulVal;
    CheckHost(callback_->GetProperty(index, abi::kpidModificationTime, value.Put()));
    if (value.Get().vt == VT_FILETIME) SetTimes(value.Get().filetime, item);
    return item;
  }

  std::optional<codec::InStream*> Open(uint32_t index) override {
    stream_.reset();
    ComPtr<abi::ISequentialInStream> stream;
    const HRESULT result = callback_->GetStream(index, stream.Put());
    CheckHost(result);
    // S_FALSE: the host left this source out.
    if (result == S_FALSE) return std::nullopt;
    if (!stream) return nullptr;
    stream_.emplace(std::move(stream));
    return &*stream_;
  }

  void ItemWritten(uint32_t) override {
    stream_.reset();
    CheckHost(callback_->SetOperationResult(abi::kUpdateResultOk));
  }

  void SetTotal(uint64_t total) override { CheckHost(callback_->SetTotal(total)); }
  void SetCompleted(uint64_t completed) override {
    const abi::UInt64 value = completed;
    CheckHost(callback_->SetCompleted(&value));
  }

 private:
  // ZIP's DOS field holds local time; the NTFS field keeps the exact instant.
  static void SetTimes(const FILETIME& time, WriteItem& item) {
    item.modification_time = uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
    FILETIME local{};
    WORD date = 0;
    WORD clock = 0;
    if (FileTimeToLocalFileTime(&time, &local) && FileTimeToDosDateTime(&local, &date, &clock))
      item.dos_time = uint32_t{date} << 16 | clock;
  }

  abi::IArchiveUpdateCallback* callback_;
  abi::UInt32 count_;
  std::optional<HostInStream> stream_;
};

class HostTarget final : public format::zip::WriteTarget {
 public:
  explicit HostTarget(abi::ISequentialOutStream* out)
      : out_(ComPtr<abi::ISequentialOutStream>::Share(out)) {
    seekable_ = out_.As<abi::IOutStream>(abi::kIidOutStream);
  }
  void Write(const uint8_t* data, size_t size) override {
    while (size != 0) {
      const auto chunk = static_cast<abi::UInt32>(std::min<size_t>(size, 1u << 30));
      abi::UInt32 processed = 0;
      CheckHost(out_->Write(data, chunk, &processed));
      if (processed == 0) throw HostStop{E_FAIL};
      data += processed;
      size -= processed;
    }
  }
  bool CanSeek() override { return static_cast<bool>(seekable_); }
  void Seek(uint64_t position) override {
    abi::UInt64 reached = 0;
    CheckHost(seekable_->Seek(static_cast<abi::Int64>(position), abi::kSeekSet, &reached));
    if (reached != position) throw HostStop{E_FAIL};
  }

 private:
  ComPtr<abi::ISequentialOutStream> out_;
  ComPtr<abi::IOutStream> seekable_;
};

}  // namespace

HRESULT UpdateZip(abi::ISequentialOutStream* out, abi::UInt32 count,
                  abi::IArchiveUpdateCallback* callback, const ZipUpdateSettings& settings) {
  if (out == nullptr || callback == nullptr) return E_INVALIDARG;
  try {
    UpdateSource source(callback, count);
    HostTarget target(out);
    format::zip::WriteZip(source, target, {.threads = settings.threads, .level = settings.level});
    return S_OK;
  } catch (...) {
    return ResultOfCurrentException();
  }
}

}  // namespace cindral::engine
