#include "app/jobs/engine_callbacks.h"

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/entry/worker_shared_state.h"
#include "app/jobs/engine_binding.h"

namespace cindral {
namespace {

constexpr wchar_t kSkippedSourceNotice[] =
    L"ZIP onvolledig: minstens \u00e9\u00e9n ontbrekend of onleesbaar bestand is overgeslagen / "
    L"ZIP incomplete: at least one missing or unreadable file was skipped:\n";
constexpr wchar_t kWrongPasswordText[] = L"Incorrect password / Onjuist wachtwoord.";
constexpr wchar_t kDamagedArchiveText[] =
    L"Archive is damaged or uses an unsupported codec / Archief beschadigd of codec niet "
    L"ondersteund.";

bool IsCancelled(const WorkerSharedState* shared) {
  return shared != nullptr && IsWorkerStopRequested(*shared);
}

HRESULT ProgressResult(const WorkerSharedState* shared) {
  return IsCancelled(shared) ? E_ABORT : S_OK;
}

// The one place where exceptions stop: the engine only understands codes.
template <typename Body>
HRESULT AnswerEngine(WorkerSharedState* shared, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& failure) {
    if (shared != nullptr) ReportCallbackFailure(*shared, std::string_view(failure.what()));
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

std::wstring ParentFolderOf(const std::wstring& relative_path) {
  const size_t separator = relative_path.rfind(L'\\');
  return separator == std::wstring::npos ? std::wstring() : relative_path.substr(0, separator);
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

void NoteSkippedSource(WorkerSharedState* shared, std::wstring_view path) {
  if (shared == nullptr) return;
  std::wstring notice(kSkippedSourceNotice);
  notice.append(path);
  ReportNotice(*shared, notice);
}

// --- OpenCallback -----------------------------------------------------------

ComPtr<OpenCallback> OpenCallback::Create(WorkerSharedState* shared) {
  return ComPtr<OpenCallback>::Adopt(new OpenCallback(shared));
}

HRESULT OpenCallback::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, kIidUnknown) || IsEqualIID(iid, abi::kIidArchiveOpenCallback))
    *out = static_cast<abi::IArchiveOpenCallback*>(this);
  else if (IsEqualIID(iid, abi::kIidCryptoGetTextPassword))
    *out = static_cast<abi::ICryptoGetTextPassword*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG OpenCallback::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
ULONG OpenCallback::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT OpenCallback::SetTotal(const abi::UInt64*, const abi::UInt64*) {
  return ProgressResult(shared_);
}

HRESULT OpenCallback::SetCompleted(const abi::UInt64*, const abi::UInt64*) {
  return ProgressResult(shared_);
}

HRESULT OpenCallback::CryptoGetTextPassword(BSTR* password) {
  return RequestArchivePassword(shared_, password);
}

// --- ExtractCallback --------------------------------------------------------

ComPtr<ExtractCallback> ExtractCallback::Create(WorkerSharedState* shared,
                                                std::wstring staging_root,
                                                const std::vector<ExtractItem>* items) {
  return ComPtr<ExtractCallback>::Adopt(
      new ExtractCallback(shared, std::move(staging_root), items));
}

ExtractCallback::ExtractCallback(WorkerSharedState* shared, std::wstring staging_root,
                                 const std::vector<ExtractItem>* items)
    : shared_(shared),
      staging_root_(staging_root),
      items_(items),
      staging_folders_(std::move(staging_root)) {}

ExtractCallback::~ExtractCallback() {
  // The last file is closed before its folders are let go.
  current_output_.Reset();
}

HRESULT ExtractCallback::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, kIidUnknown) || IsEqualIID(iid, abi::kIidArchiveExtractCallback) ||
      IsEqualIID(iid, abi::kIidProgress))
    *out = static_cast<abi::IArchiveExtractCallback*>(this);
  else if (IsEqualIID(iid, abi::kIidCryptoGetTextPassword))
    *out = static_cast<abi::ICryptoGetTextPassword*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG ExtractCallback::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
ULONG ExtractCallback::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT ExtractCallback::SetTotal(abi::UInt64 total) {
  // The engine announces the total before it asks for the first stream: the
  // last moment to give up on a volume that is too small without having
  // written a byte.
  if (!HasFreeSpaceFor(staging_root_, total)) {
    lacks_free_space_ = true;
    return E_ABORT;
  }
  if (shared_ != nullptr) ReportTotal(*shared_, total);
  return ProgressResult(shared_);
}

HRESULT ExtractCallback::SetCompleted(const abi::UInt64* completed) {
  if (shared_ != nullptr && completed != nullptr) ReportCompleted(*shared_, *completed);
  return ProgressResult(shared_);
}

HRESULT ExtractCallback::PrepareOperation(abi::Int32) { return ProgressResult(shared_); }

HRESULT ExtractCallback::GetStream(abi::UInt32 index, abi::ISequentialOutStream** out,
                                   abi::Int32 ask_mode) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  current_index_ = index;
  // A file the engine did not finish is closed here (once the engine lets go).
  current_output_.Reset();
  if (IsCancelled(shared_)) return E_ABORT;
  return AnswerEngine(shared_, [&] {
    *out = OpenItemStream(index, ask_mode).Detach();
    return S_OK;
  });
}

ComPtr<abi::ISequentialOutStream> ExtractCallback::OpenItemStream(abi::UInt32 index,
                                                                  abi::Int32 ask_mode) {
  if (items_ == nullptr || index >= items_->size())
    throw std::runtime_error("Archive item index out of range.");
  const ExtractItem& item = (*items_)[index];
  if (shared_ != nullptr) ReportCurrentItem(*shared_, item.relative_path);
  if (ask_mode != abi::kAskExtract) return {};

  CheckStagingRelativePath(item.relative_path);
  if (item.is_folder) {
    staging_folders_.Guard(item.relative_path);
    return {};
  }
  staging_folders_.Guard(ParentFolderOf(item.relative_path));
  const std::filesystem::path target = std::filesystem::path(staging_root_) / item.relative_path;
  current_output_ = Output::Create(target.wstring());
  return ComPtr<abi::ISequentialOutStream>::Share(current_output_.Get());
}

HRESULT ExtractCallback::SetOperationResult(abi::Int32 result) {
  if (current_output_) {
    if (items_ != nullptr && current_index_ < items_->size()) {
      const ExtractItem& item = (*items_)[current_index_];
      if (item.time_known)
        SetFileTime(current_output_->File(), nullptr, nullptr, &item.modification_time);
    }
    current_output_.Reset();
  }
  if (result == abi::kResultOk) return S_OK;
  failed_ = true;
  if (shared_ != nullptr)
    ReportCallbackFailure(
        *shared_, std::wstring_view(result == abi::kResultWrongPassword ? kWrongPasswordText
                                                                        : kDamagedArchiveText));
  return E_FAIL;
}

HRESULT ExtractCallback::CryptoGetTextPassword(BSTR* password) {
  return RequestArchivePassword(shared_, password);
}

// --- UpdateCallback ---------------------------------------------------------

ComPtr<UpdateCallback> UpdateCallback::Create(WorkerSharedState* shared,
                                              const std::vector<ZipSourceItem>* items) {
  return ComPtr<UpdateCallback>::Adopt(new UpdateCallback(shared, items));
}

HRESULT UpdateCallback::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, kIidUnknown) && !IsEqualIID(iid, abi::kIidArchiveUpdateCallback) &&
      !IsEqualIID(iid, abi::kIidProgress))
    return E_NOINTERFACE;
  *out = static_cast<abi::IArchiveUpdateCallback*>(this);
  AddRef();
  return S_OK;
}

ULONG UpdateCallback::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
ULONG UpdateCallback::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT UpdateCallback::SetTotal(abi::UInt64 total) {
  if (shared_ != nullptr) ReportTotal(*shared_, total);
  return ProgressResult(shared_);
}

HRESULT UpdateCallback::SetCompleted(const abi::UInt64* completed) {
  if (shared_ != nullptr && completed != nullptr) ReportCompleted(*shared_, *completed);
  return ProgressResult(shared_);
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
  if (IsCancelled(shared_)) return E_ABORT;
  return AnswerEngine(shared_, [&] {
    if (items_ == nullptr || index >= items_->size())
      throw std::runtime_error("Archive item index out of range.");
    const ZipSourceItem& item = (*items_)[index];
    if (shared_ != nullptr) ReportCurrentItem(*shared_, item.archive_name);
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
    NoteSkippedSource(shared_, item.source_path);
    return S_FALSE;
  }
  if (shared_ != nullptr)
    ReportCallbackFailure(*shared_, L"Bestand niet leesbaar / Cannot read file (Windows " +
                                        std::to_wstring(error) + L"):\n" + item.source_path);
  return ResultFromWin32(error);
}

HRESULT UpdateCallback::SetOperationResult(abi::Int32 result) {
  return result == abi::kUpdateResultOk ? S_OK : E_FAIL;
}

}  // namespace cindral
