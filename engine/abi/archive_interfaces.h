// The archive-handler interfaces through which the program and the engine
// meet. The order of declarations within each interface is the binary
// contract: never reorder, insert or remove a method. No interface has a
// virtual destructor.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <propidl.h>
#include <unknwn.h>

#include <cstdint>

#include "common/com_object.h"

namespace cindral::abi {

using UInt32 = uint32_t;
using Int32 = int32_t;
using UInt64 = uint64_t;
using Int64 = int64_t;

// {23170F69-40C1-278A-0000-00gg00ii0000}
constexpr GUID MakeInterfaceId(uint8_t group, uint8_t item) {
  return GUID{0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, item, 0x00, 0x00}};
}

// {23170F69-40C1-278A-1000-000110ff0000}
constexpr GUID MakeHandlerClassId(uint8_t format) {
  return GUID{0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, format, 0x00, 0x00}};
}

constexpr GUID kZipHandlerClassId = MakeHandlerClassId(0x01);
constexpr GUID kSevenZipHandlerClassId = MakeHandlerClassId(0x07);

constexpr GUID kIidProgress = MakeInterfaceId(0x00, 0x05);
constexpr GUID kIidSequentialInStream = MakeInterfaceId(0x03, 0x01);
constexpr GUID kIidSequentialOutStream = MakeInterfaceId(0x03, 0x02);
constexpr GUID kIidInStream = MakeInterfaceId(0x03, 0x03);
constexpr GUID kIidOutStream = MakeInterfaceId(0x03, 0x04);
constexpr GUID kIidStreamGetSize = MakeInterfaceId(0x03, 0x06);
constexpr GUID kIidCryptoGetTextPassword = MakeInterfaceId(0x05, 0x10);
constexpr GUID kIidSetProperties = MakeInterfaceId(0x06, 0x03);
constexpr GUID kIidArchiveOpenCallback = MakeInterfaceId(0x06, 0x10);
constexpr GUID kIidArchiveExtractCallback = MakeInterfaceId(0x06, 0x20);
constexpr GUID kIidInArchive = MakeInterfaceId(0x06, 0x60);
constexpr GUID kIidArchiveUpdateCallback = MakeInterfaceId(0x06, 0x80);
constexpr GUID kIidOutArchive = MakeInterfaceId(0x06, 0xA0);

// Seek origins.
constexpr UInt32 kSeekSet = 0;
constexpr UInt32 kSeekCurrent = 1;
constexpr UInt32 kSeekEnd = 2;

// Ask modes of GetStream and PrepareOperation.
constexpr Int32 kAskExtract = 0;
constexpr Int32 kAskTest = 1;
constexpr Int32 kAskSkip = 2;

// Extract operation results.
constexpr Int32 kResultOk = 0;
constexpr Int32 kResultUnsupportedMethod = 1;
constexpr Int32 kResultDataError = 2;
constexpr Int32 kResultCrcError = 3;
constexpr Int32 kResultUnavailable = 4;
constexpr Int32 kResultUnexpectedEnd = 5;
constexpr Int32 kResultDataAfterEnd = 6;
constexpr Int32 kResultNotArchive = 7;
constexpr Int32 kResultHeadersError = 8;
constexpr Int32 kResultWrongPassword = 9;

// Open results besides S_OK: S_FALSE for bytes that are not an archive of the
// handler's format or are damaged, E_NOTIMPL for a method or feature the
// engine lacks, and this one for one volume of a split archive
// (HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)).
constexpr HRESULT kOpenSplitArchive = static_cast<HRESULT>(0x80070032);

// Update operation result.
constexpr Int32 kUpdateResultOk = 0;

// GetFileTimeType values.
constexpr UInt32 kTimeTypeWindows = 0;
constexpr UInt32 kTimeTypeUnix = 1;
constexpr UInt32 kTimeTypeDos = 2;

// Property ids.
constexpr PROPID kpidPath = 3;
constexpr PROPID kpidName = 4;
constexpr PROPID kpidIsDirectory = 6;
constexpr PROPID kpidSize = 7;
constexpr PROPID kpidPackedSize = 8;
constexpr PROPID kpidAttributes = 9;
constexpr PROPID kpidCreationTime = 10;
constexpr PROPID kpidAccessTime = 11;
constexpr PROPID kpidModificationTime = 12;
constexpr PROPID kpidEncrypted = 15;
constexpr PROPID kpidCrc = 19;
constexpr PROPID kpidIsAnti = 21;
constexpr PROPID kpidMethod = 22;
constexpr PROPID kpidComment = 28;
constexpr PROPID kpidPhysicalSize = 44;
constexpr PROPID kpidPosixMode = 53;
constexpr PROPID kpidSymbolicLinkTarget = 54;
constexpr PROPID kpidIsAlternateStream = 63;
constexpr PROPID kpidHardLinkTarget = 90;

// Extract with these arguments means every item, in index order.
constexpr UInt32 kAllItems = 0xFFFFFFFF;

struct IProgress : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* completed) = 0;
};

struct ISequentialInStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void* data, UInt32 size, UInt32* processed) = 0;
};

struct ISequentialOutStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Write(const void* data, UInt32 size, UInt32* processed) = 0;
};

struct IInStream : public ISequentialInStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 origin, UInt64* newPosition) = 0;
};

struct IOutStream : public ISequentialOutStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 origin, UInt64* newPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) = 0;
};

struct IStreamGetSize : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetSize(UInt64* size) = 0;
};

struct ICryptoGetTextPassword : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) = 0;
};

struct ISetProperties : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetProperties(const wchar_t* const* names,
                                                  const PROPVARIANT* values, UInt32 count) = 0;
};

struct IArchiveOpenCallback : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(const UInt64* files, const UInt64* bytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* files, const UInt64* bytes) = 0;
};

struct IArchiveExtractCallback : public IProgress {
  virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialOutStream** out,
                                              Int32 askMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE PrepareOperation(Int32 askMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 result) = 0;
};

struct IInArchive : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Open(IInStream* stream, const UInt64* maxCheckStartPosition,
                                         IArchiveOpenCallback* callback) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(UInt32* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID id, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Extract(const UInt32* indices, UInt32 count, Int32 testMode,
                                            IArchiveExtractCallback* callback) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID id, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UInt32* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(UInt32 index, BSTR* name, PROPID* id,
                                                    VARTYPE* type) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UInt32* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UInt32 index, BSTR* name, PROPID* id,
                                                           VARTYPE* type) = 0;
};

struct IArchiveUpdateCallback : public IProgress {
  virtual HRESULT STDMETHODCALLTYPE GetUpdateItemInfo(UInt32 index, Int32* newData,
                                                      Int32* newProperties,
                                                      UInt32* indexInArchive) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID id, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialInStream** in) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 result) = 0;
};

struct IOutArchive : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE UpdateItems(ISequentialOutStream* out, UInt32 count,
                                                IArchiveUpdateCallback* callback) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFileTimeType(UInt32* type) = 0;
};

// The engine's one export.
using CreateObjectFunction = HRESULT(WINAPI*)(const GUID* classId, const GUID* interfaceId,
                                              void** out);

}  // namespace cindral::abi

namespace cindral {

// Ids and parents of the archive-handler interfaces for the COM object base.
#define CINDRAL_ARCHIVE_INTERFACE(Interface, InterfaceId, ParentInterface) \
  template <>                                                              \
  struct InterfaceTraits<abi::Interface> {                                 \
    static const GUID& Id() { return abi::InterfaceId; }                   \
    using Parent = ParentInterface;                                        \
  }

CINDRAL_ARCHIVE_INTERFACE(IProgress, kIidProgress, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(ISequentialInStream, kIidSequentialInStream, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(ISequentialOutStream, kIidSequentialOutStream, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(IInStream, kIidInStream, abi::ISequentialInStream);
CINDRAL_ARCHIVE_INTERFACE(IOutStream, kIidOutStream, abi::ISequentialOutStream);
CINDRAL_ARCHIVE_INTERFACE(IStreamGetSize, kIidStreamGetSize, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(ICryptoGetTextPassword, kIidCryptoGetTextPassword, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(ISetProperties, kIidSetProperties, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(IArchiveOpenCallback, kIidArchiveOpenCallback, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(IArchiveExtractCallback, kIidArchiveExtractCallback, abi::IProgress);
CINDRAL_ARCHIVE_INTERFACE(IInArchive, kIidInArchive, IUnknown);
CINDRAL_ARCHIVE_INTERFACE(IArchiveUpdateCallback, kIidArchiveUpdateCallback, abi::IProgress);
CINDRAL_ARCHIVE_INTERFACE(IOutArchive, kIidOutArchive, IUnknown);

#undef CINDRAL_ARCHIVE_INTERFACE

}  // namespace cindral
