// The engine library's one export.
#include <new>

#include "engine/abi/archive_interfaces.h"
#include "engine/com/archive_handler.h"

extern "C" HRESULT WINAPI CreateObject(const GUID* classId, const GUID* interfaceId, void** out) {
  using cindral::engine::ArchiveFormat;
  using cindral::engine::ArchiveHandler;
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (classId == nullptr || interfaceId == nullptr) return E_INVALIDARG;
  ArchiveFormat format;
  if (*classId == cindral::abi::kZipHandlerClassId) {
    format = ArchiveFormat::kZip;
  } else if (*classId == cindral::abi::kSevenZipHandlerClassId) {
    format = ArchiveFormat::kSevenZip;
  } else {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  auto* handler = new (std::nothrow) ArchiveHandler(format);
  if (handler == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = handler->QueryInterface(*interfaceId, out);
  handler->Release();
  return result;
}
