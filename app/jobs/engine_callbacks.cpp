#include "app/jobs/engine_callbacks.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/jobs/engine_binding.h"
#include "app/jobs/job_host.h"
#include "common/utf8.h"

namespace cindral {
namespace {

constexpr wchar_t kSkippedSourceNotice[] =
    L"ZIP onvolledig: minstens \u00e9\u00e9n ontbrekend of onleesbaar bestand is overgeslagen / "
    L"ZIP incomplete: at least one missing or unreadable file was skipped:\n";
constexpr wchar_t kWrongPasswordText[] = L"Incorrect password / Onjuist wachtwoord.";
constexpr wchar_t kDamagedArchiveText[] =
    L"Archive is damaged or uses an unsupported codec / Archief beschadigd of codec niet "
    L"ondersteund.";

HRESULT ProgressResult(JobHost& host) { return host.IsCancelRequested() ? E_ABORT : S_OK; }

// The one place where exceptions stop: the engine only understands codes.
template <typename Body>
HRESULT AnswerEngine(JobHost& host, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& failure) {
    host.ReportCallbackFailure(WideFromUtf8(failure.what()));
    return E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

// The items come from the sanitiser; a path that could still leave the
// staging folder is refused rather than trusted.
void CheckStagingRelativePath(std::wstring_view path) {
  bool contained = !path.empty() && path.find_first_of(L":/") == std::wstring_view::npos;
  size_t start = 0;
  while (contained) {
    const size_t end = path.find(L'\\', start);
    const std::wstring_view component = path.substr(start, end - start);
    contained = !component.empty() && component != L"." && component != L"..";
    if (end == std::wstring_view::npos) break;
    start = end + 1;
  }
  if (!contained) throw std::runtime_error("Unsafe archive path component.");
}

bool IsSkippableOpenError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

// Free space that cannot be read is no refusal: the writes will tell.
bool HasFreeSpaceFor(const std::wstring& folder, uint64_t bytes) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW((MakeLongPath(folder) + L'\\').c_str(), &available, nullptr, nullptr))
    return true;
  return bytes <= available.QuadPart;
}

}  // namespace

void NoteSkippedSource(JobHost& host, std::wstring_view path) {
  std::wstring notice(kSkippedSourceNotice);
  notice.append(path);
  host.ReportNotice(notice);
}

// --- OpenCallback -----------------------------------------------------------

ComPtr<OpenCallback> OpenCallback::Create(JobHost& host) {
  return ComPtr<OpenCallback>::Adopt(new OpenCallback(host));
}

HRESULT OpenCallback::SetTotal(const abi::UInt64*, const abi::UInt64*) {
  return ProgressResult(host_);
}

HRESULT OpenCallback::SetCompleted(const abi::UInt64*, const abi::UInt64*) {
  return ProgressResult(host_);
}

HRESULT OpenCallback::CryptoGetTextPassword(BSTR* password) {
  return RequestArchivePassword(host_, password);
}

// --- ExtractCallback --------------------------------------------------------

ComPtr<ExtractCallback> ExtractCallback::Create(JobHost& host, std::wstring staging_root,
                                                std::vector<ExtractItem>* items) {
  return ComPtr<ExtractCallback>::Adopt(new ExtractCallback(host, std::move(staging_root), items));
}

ExtractCallback::ExtractCallback(JobHost& host, std::wstring staging_root,
                                 std::vector<ExtractItem>* items)
    : host_(host),
      staging_root_(staging_root),
      items_(items),
      staging_folders_(std::move(staging_root)) {}

ExtractCallback::~ExtractCallback() {
  // The last file is closed before its folders are let go.
  current_output_.Reset();
}

HRESULT ExtractCallback::SetTotal(abi::UInt64 total) {
  // The engine announces the total before it asks for the first stream: the
  // last moment to give up on a volume that is too small without having
  // written a byte.
  if (!HasFreeSpaceFor(staging_root_, total)) {
    lacks_free_space_ = true;
    return E_ABORT;
  }
  host_.ReportTotal(total);
  return ProgressResult(host_);
}

HRESULT ExtractCallback::SetCompleted(const abi::UInt64* completed) {
  if (completed != nullptr) host_.ReportCompleted(*completed);
  return ProgressResult(host_);
}

HRESULT ExtractCallback::PrepareOperation(abi::Int32) { return ProgressResult(host_); }

HRESULT ExtractCallback::GetStream(abi::UInt32 index, abi::ISequentialOutStream** out,
                                   abi::Int32 ask_mode) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  current_index_ = index;
  // A file the engine did not finish is closed here (once the engine lets go).
  current_output_.Reset();
  if (host_.IsCancelRequested()) return E_ABORT;
  return AnswerEngine(host_, [&] {
    *out = OpenItemStream(index, ask_mode).Detach();
    return S_OK;
  });
}

ComPtr<abi::ISequentialOutStream> ExtractCallback::OpenItemStream(abi::UInt32 index,
                                                                  abi::Int32 ask_mode) {
  if (items_ == nullptr || index >= items_->size())
    throw std::runtime_error("Archive item index out of range.");
  ExtractItem& item = (*items_)[index];
  host_.ReportCurrentItem(item.relative_path);
  if (ask_mode != abi::kAskExtract) return {};

  CheckStagingRelativePath(item.relative_path);
  if (item.is_folder) {
    staging_folders_.Guard(item.relative_path);
    item.staged = true;
    return {};
  }
  const size_t separator = item.relative_path.rfind(L'\\');
  const std::wstring_view path = item.relative_path;
  const HANDLE folder = staging_folders_.Guard(
      separator == std::wstring::npos ? std::wstring_view() : path.substr(0, separator));
  current_output_ = Output::CreateIn(folder, path.substr(separator + 1));
  return ComPtr<abi::ISequentialOutStream>::Share(current_output_.Get());
}

HRESULT ExtractCallback::SetOperationResult(abi::Int32 result) {
  if (current_output_) {
    if (items_ != nullptr && current_index_ < items_->size()) {
      ExtractItem& item = (*items_)[current_index_];
      if (item.time_known)
        SetFileTime(current_output_->File(), nullptr, nullptr, &item.modification_time);
      item.staged = result == abi::kResultOk;
    }
    current_output_.Reset();
  }
  if (result == abi::kResultOk) return S_OK;
  failed_ = true;
  host_.ReportCallbackFailure(result == abi::kResultWrongPassword ? kWrongPasswordText
                                                                  : kDamagedArchiveText);
  return E_FAIL;
}

HRESULT ExtractCallback::CryptoGetTextPassword(BSTR* password) {
  return RequestArchivePassword(host_, password);
}

// --- UpdateCallback ---------------------------------------------------------

ComPtr<UpdateCallback> UpdateCallback::Create(JobHost& host,
                                              const std::vector<ZipSourceItem>* items) {
  return ComPtr<UpdateCallback>::Adopt(new UpdateCallback(host, items));
}

HRESULT UpdateCallback::SetTotal(abi::UInt64 total) {
  host_.ReportTotal(total);
  return ProgressResult(host_);
}

HRESULT UpdateCallback::SetCompleted(const abi::UInt64* completed) {
  if (completed != nullptr) host_.ReportCompleted(*completed);
  return ProgressResult(host_);
}

HRESULT UpdateCallback::GetUpdateItemInfo(abi::UInt32, abi::Int32* new_data,
                                          abi::Int32* new_properties,
                                          abi::UInt32* index_in_archive) {
  // Every item is new: there is no archive being updated.
  if (new_data != nullptr) *new_data = 1;
  if (new_properties != nullptr) *new_properties = 1;
  if (index_in_archive != nullptr) *index_in_archive = 0xFFFFFFFF;
  return S_OK;
}

HRESULT UpdateCallback::GetProperty(abi::UInt32 index, PROPID id, PROPVARIANT* value) {
  if (value == nullptr) return E_INVALIDARG;
  PropVariantInit(value);
  if (items_ == nullptr || index >= items_->size()) return E_FAIL;
  const ZipSourceItem& item = (*items_)[index];
  switch (id) {
    case abi::kpidPath:
      value->bstrVal = SysAllocString(item.archive_name.c_str());
      if (value->bstrVal == nullptr) return E_OUTOFMEMORY;
      value->vt = VT_BSTR;
      break;
    case abi::kpidIsDirectory:
      value->vt = VT_BOOL;
      value->boolVal = item.is_folder ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case abi::kpidSize:
      value->vt = VT_UI8;
      value->uhVal.QuadPart = item.is_folder ? 0 : item.size;
      break;
    case abi::kpidAttributes:
      value->vt = VT_UI4;
      value->ulVal = item.attributes;
      break;
    case abi::kpidModificationTime:
      value->vt = VT_FILETIME;
      value->filetime = item.last_write_time;
      break;
    default:
      break;
  }
  return S_OK;
}

HRESULT UpdateCallback::GetStream(abi::UInt32 index, abi::ISequentialInStream** in) {
  if (in == nullptr) return E_INVALIDARG;
  *in = nullptr;
  if (host_.IsCancelRequested()) return E_ABORT;
  return AnswerEngine(host_, [&] {
    if (items_ == nullptr || index >= items_->size())
      throw std::runtime_error("Archive item index out of range.");
    const ZipSourceItem& item = (*items_)[index];
    host_.ReportCurrentItem(item.archive_name);
    if (item.is_folder) return S_OK;
    return OpenSource(item, in);
  });
}

HRESULT UpdateCallback::OpenSource(const ZipSourceItem& item, abi::ISequentialInStream** in) {
  UniqueHandle file = OpenFileForReading(item.source_path);
  if (file) {
    *in = Input::Adopt(std::move(file)).Detach();
    return S_OK;
  }
  const DWORD error = GetLastError();
  // Files that vanish, are locked or are forbidden leave the archive
  // incomplete rather than failing the whole job.
  if (IsSkippableOpenError(error)) {
    NoteSkippedSource(host_, item.source_path);
    return S_FALSE;
  }
  host_.ReportCallbackFailure(L"Bestand niet leesbaar / Cannot read file (Windows " +
                              std::to_wstring(error) + L"):\n" + item.source_path);
  return ResultFromWin32(error);
}

HRESULT UpdateCallback::SetOperationResult(abi::Int32 result) {
  return result == abi::kUpdateResultOk ? S_OK : E_FAIL;
}

}  // namespace cindral
