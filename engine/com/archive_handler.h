// One handler object per CreateObject call: the archive-handler interfaces
// over a portable ArchiveReader, for ZIP or 7z.
#pragma once

#include <memory>
#include <string>

#include "engine/abi/archive_interfaces.h"
#include "engine/format/archive.h"

namespace cindral::engine {

enum class ArchiveFormat { kZip, kSevenZip };

// What the ZIP writer is told through ISetProperties.
struct ZipWriterSettings {
  std::u16string method = u"Deflate";
  uint32_t level = 5;
};

class ArchiveHandler final
    : public ComObject<abi::IInArchive, abi::ISetProperties, abi::IOutArchive> {
 public:
  explicit ArchiveHandler(ArchiveFormat format) : format_(format) {}

  // Refuses IOutArchive for 7z, which this engine cannot write.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

  // IInArchive
  HRESULT STDMETHODCALLTYPE Open(abi::IInStream* stream, const abi::UInt64* maxCheckStartPosition,
                                 abi::IArchiveOpenCallback* callback) override;
  HRESULT STDMETHODCALLTYPE Close() override;
  HRESULT STDMETHODCALLTYPE GetNumberOfItems(abi::UInt32* count) override;
  HRESULT STDMETHODCALLTYPE GetProperty(abi::UInt32 index, PROPID id, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE Extract(const abi::UInt32* indices, abi::UInt32 count,
                                    abi::Int32 testMode,
                                    abi::IArchiveExtractCallback* callback) override;
  HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID id, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE GetNumberOfProperties(abi::UInt32* count) override;
  HRESULT STDMETHODCALLTYPE GetPropertyInfo(abi::UInt32 index, BSTR* name, PROPID* id,
                                            VARTYPE* type) override;
  HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(abi::UInt32* count) override;
  HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(abi::UInt32 index, BSTR* name, PROPID* id,
                                                   VARTYPE* type) override;

  // ISetProperties
  HRESULT STDMETHODCALLTYPE SetProperties(const wchar_t* const* names, const PROPVARIANT* values,
                                          abi::UInt32 count) override;

  // IOutArchive, ZIP only: QueryInterface refuses it for 7z.
  HRESULT STDMETHODCALLTYPE UpdateItems(abi::ISequentialOutStream* out, abi::UInt32 count,
                                        abi::IArchiveUpdateCallback* callback) override;
  HRESULT STDMETHODCALLTYPE GetFileTimeType(abi::UInt32* type) override;

  const ZipWriterSettings& zip_writer_settings() const { return zip_writer_; }

 private:
  ~ArchiveHandler() override = default;

  HRESULT OpenReader(abi::IInStream* stream, abi::IArchiveOpenCallback* callback);
  HRESULT ExtractItems(const abi::UInt32* indices, abi::UInt32 count, bool test,
                       abi::IArchiveExtractCallback* callback);
  HRESULT ApplyProperties(const wchar_t* const* names, const PROPVARIANT* values,
                          abi::UInt32 count);

  const ArchiveFormat format_;
  std::unique_ptr<format::ArchiveReader> reader_;
  uint64_t physical_size_ = 0;
  unsigned threads_ = 1;
  ZipWriterSettings zip_writer_;
};

}  // namespace cindral::engine
