#include "engine/com/archive_handler.h"

#include "engine/com/zip_update.h"

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/thread_count.h"
#include "engine/com/host_bridge.h"
#include "engine/format/sevenz/sevenz_reader.h"
#include "engine/format/zip/zip_reader.h"

namespace cindral::engine {
namespace {

// DOS times are the local time of the machine that wrote them; read here,
// they are taken as local time under this machine's rules for that date,
// daylight saving included. DOS fields allow days such as 31 February, which
// are normalised through the calendar arithmetic first.
uint64_t LocalDosTimeToFiletime(int year, int month, int day, int hour, int minute, int second) {
  const uint64_t as_utc = format::zip::UtcToFiletime(year, month, day, hour, minute, second);
  FILETIME civil{static_cast<DWORD>(as_utc), static_cast<DWORD>(as_utc >> 32)};
  SYSTEMTIME local;
  SYSTEMTIME utc;
  FILETIME converted;
  if (!FileTimeToSystemTime(&civil, &local) ||
      !TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
      !SystemTimeToFileTime(&utc, &converted))
    return as_utc;
  return (uint64_t{converted.dwHighDateTime} << 32) | converted.dwLowDateTime;
}

// Names without the UTF-8 flag were written in the writer's OEM code page;
// this machine's is the best guess, and the one its users expect.
std::u16string DecodeOemText(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  const int length = MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), size, nullptr, 0);
  if (length <= 0) return format::zip::DecodeCp437(bytes);
  std::u16string text(static_cast<size_t>(length), u'\0');
  MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), size, reinterpret_cast<wchar_t*>(text.data()),
                      length);
  return text;
}

// The exception of a failed call as the result the host sees. Nothing may
// cross the interface boundary.
HRESULT SetString(PROPVARIANT* value, std::u16string_view text) {
  const std::u16string copy(text);
  BSTR string = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(copy.c_str()),
                                  static_cast<UINT>(copy.size()));
  if (string == nullptr) return E_OUTOFMEMORY;
  value->vt = VT_BSTR;
  value->bstrVal = string;
  return S_OK;
}

void SetBool(PROPVARIANT* value, bool flag) {
  value->vt = VT_BOOL;
  value->boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetUInt32(PROPVARIANT* value, std::optional<uint32_t> number) {
  if (!number) return;
  value->vt = VT_UI4;
  value->ulVal = *number;
}

void SetUInt64(PROPVARIANT* value, std::optional<uint64_t> number) {
  if (!number) return;
  value->vt = VT_UI8;
  value->uhVal.QuadPart = *number;
}

void SetFiletime(PROPVARIANT* value, std::optional<uint64_t> time) {
  if (!time) return;
  value->vt = VT_FILETIME;
  value->filetime.dwLowDateTime = static_cast<DWORD>(*time);
  value->filetime.dwHighDateTime = static_cast<DWORD>(*time >> 32);
}

std::u16string_view LastComponent(std::u16string_view path) {
  while (!path.empty() && (path.back() == u'/' || path.back() == u'\\')) path.remove_suffix(1);
  const size_t slash = path.find_last_of(u"/\\");
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

HRESULT FillItemProperty(const format::Item& item, PROPID id, PROPVARIANT* value) {
  switch (id) {
    case abi::kpidPath:
      return SetString(value, item.path);
    case abi::kpidName:
      return SetString(value, LastComponent(item.path));
    case abi::kpidIsDirectory:
      SetBool(value, item.is_directory);
      return S_OK;
    case abi::kpidSize:
      SetUInt64(value, item.size);
      return S_OK;
    case abi::kpidPackedSize:
      SetUInt64(value, item.packed_size);
      return S_OK;
    case abi::kpidAttributes:
      SetUInt32(value, item.attributes);
      return S_OK;
    case abi::kpidCreationTime:
      SetFiletime(value, item.creation_time);
      return S_OK;
    case abi::kpidAccessTime:
      SetFiletime(value, item.access_time);
      return S_OK;
    case abi::kpidModificationTime:
      SetFiletime(value, item.modification_time);
      return S_OK;
    case abi::kpidEncrypted:
      SetBool(value, item.encrypted);
      return S_OK;
    case abi::kpidCrc:
      SetUInt32(value, item.crc);
      return S_OK;
    case abi::kpidIsAnti:
      SetBool(value, item.is_anti);
      return S_OK;
    case abi::kpidMethod:
      return item.method.empty() ? S_OK : SetString(value, item.method);
    case abi::kpidComment:
      return item.comment ? SetString(value, *item.comment) : S_OK;
    case abi::kpidPosixMode:
      SetUInt32(value, item.posix_mode);
      return S_OK;
  }
  // Links and alternate streams are never reported by the readers: absent.
  return S_OK;
}

struct PropertyInfo {
  PROPID id;
  VARTYPE type;
};

constexpr PropertyInfo kItemProperties[] = {
    {abi::kpidPath, VT_BSTR},
    {abi::kpidIsDirectory, VT_BOOL},
    {abi::kpidSize, VT_UI8},
    {abi::kpidPackedSize, VT_UI8},
    {abi::kpidAttributes, VT_UI4},
    {abi::kpidCreationTime, VT_FILETIME},
    {abi::kpidAccessTime, VT_FILETIME},
    {abi::kpidModificationTime, VT_FILETIME},
    {abi::kpidEncrypted, VT_BOOL},
    {abi::kpidCrc, VT_UI4},
    {abi::kpidIsAnti, VT_BOOL},
    {abi::kpidMethod, VT_BSTR},
    {abi::kpidComment, VT_BSTR},
    {abi::kpidPosixMode, VT_UI4},
};

constexpr PropertyInfo kArchiveProperties[] = {{abi::kpidPhysicalSize, VT_UI8}};

HRESULT GetInfo(std::span<const PropertyInfo> table, abi::UInt32 index, BSTR* name, PROPID* id,
                VARTYPE* type) {
  if (name) *name = nullptr;
  if (index >= table.size()) return E_INVALIDARG;
  if (id) *id = table[index].id;
  if (type) *type = table[index].type;
  return S_OK;
}

bool NameIs(const wchar_t* name, std::wstring_view expected) {
  std::wstring_view given(name);
  return std::equal(given.begin(), given.end(), expected.begin(), expected.end(),
                    [](wchar_t a, wchar_t b) {
                      const auto lower = [](wchar_t c) {
                        return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
                      };
                      return lower(a) == lower(b);
                    });
}

// The methods the ZIP writer knows.
std::optional<std::u16string> ZipMethodName(const wchar_t* text) {
  if (text == nullptr) return std::nullopt;
  if (NameIs(text, L"Deflate")) return u"Deflate";
  if (NameIs(text, L"Copy")) return u"Copy";
  return std::nullopt;
}

}  // namespace

HRESULT ArchiveHandler::QueryInterface(REFIID iid, void** out) {
  if (format_ != ArchiveFormat::kZip && IsEqualIID(iid, abi::kIidOutArchive)) {
    if (out != nullptr) *out = nullptr;
    return E_NOINTERFACE;
  }
  return ComObject::QueryInterface(iid, out);
}

HRESULT ArchiveHandler::Open(abi::IInStream* stream, const abi::UInt64*,
                             abi::IArchiveOpenCallback* callback) {
  if (stream == nullptr) return E_INVALIDARG;
  Close();
  try {
    return OpenReader(stream, callback);
  } catch (...) {
    reader_.reset();
    return ResultOfCurrentException();
  }
}

// Damaged or foreign bytes answer S_FALSE, the handler convention for "not
// this format"; a method or feature the engine lacks answers E_NOTIMPL, and
// one volume of a split archive kOpenSplitArchive, so that a host can say
// which it is. The program treats every result other than S_OK as a failed
// Open, so wrong header passwords are reported as damage. A host that refuses
// or cancels a password request gets its own answer back.
HRESULT ArchiveHandler::OpenReader(abi::IInStream* stream, abi::IArchiveOpenCallback* callback) {
  auto source = std::make_shared<HostSource>(ComPtr<abi::IInStream>::Share(stream));
  const uint64_t size = source->Size();
  if (callback) CheckHost(callback->SetTotal(nullptr, &size));
  try {
    if (format_ == ArchiveFormat::kZip) {
      reader_ = format::zip::OpenZip(source, LocalDosTimeToFiletime, DecodeOemText);
    } else {
      OpenPasswords passwords(callback);
      reader_ = format::sevenz::OpenSevenZip(source, passwords);
    }
  } catch (const format::SplitArchive&) {
    return abi::kOpenSplitArchive;
  } catch (const format::OpenError&) {
    return S_FALSE;
  } catch (const codec::DataError&) {
    return S_FALSE;
  } catch (const codec::Unsupported&) {
    return E_NOTIMPL;
  }
  reader_->SetThreadCount(threads_);
  physical_size_ = size;
  if (callback) {
    const uint64_t files = reader_->ItemCount();
    const HRESULT result = callback->SetCompleted(&files, &size);
    if (FAILED(result)) {
      reader_.reset();
      return result;
    }
  }
  return S_OK;
}

HRESULT ArchiveHandler::Close() {
  reader_.reset();
  physical_size_ = 0;
  return S_OK;
}

HRESULT ArchiveHandler::GetNumberOfItems(abi::UInt32* count) {
  if (count == nullptr) return E_POINTER;
  *count =
      reader_ ? static_cast<abi::UInt32>(std::min<uint64_t>(reader_->ItemCount(), UINT32_MAX)) : 0;
  return S_OK;
}

HRESULT ArchiveHandler::GetProperty(abi::UInt32 index, PROPID id, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  if (!reader_) return E_UNEXPECTED;
  if (index >= reader_->Items().size()) return E_INVALIDARG;
  return FillItemProperty(reader_->Items()[index], id, value);
}

HRESULT ArchiveHandler::Extract(const abi::UInt32* indices, abi::UInt32 count, abi::Int32 testMode,
                                abi::IArchiveExtractCallback* callback) {
  if (callback == nullptr) return E_INVALIDARG;
  if (!reader_) return E_UNEXPECTED;
  try {
    return ExtractItems(indices, count, testMode != 0, callback);
  } catch (...) {
    return ResultOfCurrentException();
  }
}

HRESULT ArchiveHandler::ExtractItems(const abi::UInt32* indices, abi::UInt32 count, bool test,
                                     abi::IArchiveExtractCallback* callback) {
  std::vector<uint32_t> requested;
  if (indices != nullptr || count != abi::kAllItems) {
    // An empty list asks for nothing, while an empty span would mean every item.
    if (count == 0) return S_OK;
    if (indices == nullptr) return E_INVALIDARG;
    requested.assign(indices, indices + count);
    // Readers take ascending indices; hosts that pass another order still
    // get every item once, reported under its own index.
    std::sort(requested.begin(), requested.end());
    requested.erase(std::unique(requested.begin(), requested.end()), requested.end());
    if (requested.back() >= reader_->Items().size()) return E_INVALIDARG;
  }
  ExtractBridge sink(callback, test);
  reader_->Extract(requested, test, sink);
  return S_OK;
}

HRESULT ArchiveHandler::GetArchiveProperty(PROPID id, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  if (reader_ && id == abi::kpidPhysicalSize) SetUInt64(value, physical_size_);
  return S_OK;
}

HRESULT ArchiveHandler::GetNumberOfProperties(abi::UInt32* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<abi::UInt32>(std::size(kItemProperties));
  return S_OK;
}

HRESULT ArchiveHandler::GetPropertyInfo(abi::UInt32 index, BSTR* name, PROPID* id, VARTYPE* type) {
  return GetInfo(kItemProperties, index, name, id, type);
}

HRESULT ArchiveHandler::GetNumberOfArchiveProperties(abi::UInt32* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<abi::UInt32>(std::size(kArchiveProperties));
  return S_OK;
}

HRESULT ArchiveHandler::GetArchivePropertyInfo(abi::UInt32 index, BSTR* name, PROPID* id,
                                               VARTYPE* type) {
  return GetInfo(kArchiveProperties, index, name, id, type);
}

HRESULT ArchiveHandler::SetProperties(const wchar_t* const* names, const PROPVARIANT* values,
                                      abi::UInt32 count) {
  if (count == 0) return S_OK;
  if (names == nullptr || values == nullptr) return E_INVALIDARG;
  try {
    return ApplyProperties(names, values, count);
  } catch (...) {
    return ResultOfCurrentException();
  }
}

// Every property is checked before any is applied, so a refused call changes
// nothing.
HRESULT ArchiveHandler::ApplyProperties(const wchar_t* const* names, const PROPVARIANT* values,
                                        abi::UInt32 count) {
  unsigned threads = threads_;
  ZipWriterSettings zip_writer = zip_writer_;
  const bool zip = format_ == ArchiveFormat::kZip;
  for (abi::UInt32 i = 0; i < count; ++i) {
    const wchar_t* name = names[i];
    const PROPVARIANT& value = values[i];
    if (name == nullptr) return E_INVALIDARG;
    if (NameIs(name, L"mt") && value.vt == VT_UI4) {
      threads = ClampThreadCount(value.ulVal);
    } else if (zip && NameIs(name, L"m") && value.vt == VT_BSTR) {
      std::optional<std::u16string> method = ZipMethodName(value.bstrVal);
      if (!method) return E_INVALIDARG;
      zip_writer.method = std::move(*method);
    } else if (zip && NameIs(name, L"x") && value.vt == VT_UI4 && value.ulVal <= 9) {
      zip_writer.level = value.ulVal;
    } else {
      return E_INVALIDARG;
    }
  }
  threads_ = threads;
  zip_writer_ = std::move(zip_writer);
  if (reader_) reader_->SetThreadCount(threads_);
  return S_OK;
}

HRESULT ArchiveHandler::UpdateItems(abi::ISequentialOutStream* out, abi::UInt32 count,
                                    abi::IArchiveUpdateCallback* callback) {
  // The writer stores every entry at level 0, which is what "Copy" asks for.
  const int level = zip_writer_.method == u"Copy" ? 0 : static_cast<int>(zip_writer_.level);
  const ZipUpdateSettings settings{.threads = threads_, .level = level};
  return UpdateZip(out, count, callback, settings);
}

HRESULT ArchiveHandler::GetFileTimeType(abi::UInt32* type) {
  if (type == nullptr) return E_POINTER;
  *type = abi::kTimeTypeWindows;
  return S_OK;
}

}  // namespace cindral::engine
