#include "app/jobs/extraction.h"

#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "app/jobs/engine_binding.h"
#include "app/jobs/engine_callbacks.h"
#include "app/jobs/engine_streams.h"
#include "app/jobs/job_host.h"
#include "app/jobs/path_safety.h"
#include "app/jobs/publishing.h"
#include "common/archive_names.h"
#include "common/guid_text.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

constexpr abi::UInt32 kMaxItems = 10000000;

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

// Reads one property; a failing read is the given failure, an absent or
// differently typed value is left for the caller to treat as absent.
void ReadProperty(abi::IInArchive& handler, abi::UInt32 index, PROPID id, UniquePropVariant& value,
                  const char* failure) {
  if (handler.GetProperty(index, id, value.Put()) != S_OK) Fail(failure);
}

std::wstring ReadText(abi::IInArchive& handler, abi::UInt32 index, PROPID id) {
  UniquePropVariant value;
  ReadProperty(handler, index, id, value, "Cannot read archive metadata.");
  if (value.Get().vt != VT_BSTR || value.Get().bstrVal == nullptr) return {};
  return std::wstring(value.Get().bstrVal, SysStringLen(value.Get().bstrVal));
}

bool ReadFlag(abi::IInArchive& handler, abi::UInt32 index, PROPID id) {
  UniquePropVariant value;
  ReadProperty(handler, index, id, value, "Cannot read archive metadata.");
  return value.Get().vt == VT_BOOL && value.Get().boolVal != VARIANT_FALSE;
}

std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& unit : text) {
    if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
  }
  return text;
}

// Refuses the entry unless it is a plain file or folder with a safe name.
ExtractItem ExamineItem(abi::IInArchive& handler, abi::UInt32 index,
                        std::unordered_set<std::wstring>& seen_paths) {
  constexpr const char* kLinks = "Archive links and alternate streams are blocked.";
  if (!ReadText(handler, index, abi::kpidSymbolicLinkTarget).empty()) Fail(kLinks);
  if (!ReadText(handler, index, abi::kpidHardLinkTarget).empty()) Fail(kLinks);
  if (ReadFlag(handler, index, abi::kpidIsAlternateStream)) Fail(kLinks);
  if (ReadFlag(handler, index, abi::kpidIsAnti)) Fail(kLinks);

  UniquePropVariant value;
  ReadProperty(handler, index, abi::kpidAttributes, value, "Cannot read attributes.");
  if (value.Get().vt == VT_UI4 && (value.Get().ulVal & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    Fail("Archive reparse points are blocked.");
  ReadProperty(handler, index, abi::kpidPosixMode, value, "Cannot read attributes.");
  if (value.Get().vt == VT_UI4) {
    const ULONG type = value.Get().ulVal & 0xF000;
    if (type != 0 && type != 0x4000 && type != 0x8000)
      Fail("Archive contains a special file or symbolic link.");
  }

  ExtractItem item;
  item.relative_path = SanitizeArchivePath(ReadText(handler, index, abi::kpidPath));
  if (!seen_paths.insert(LowerAscii(item.relative_path)).second)
    Fail("Archive contains duplicate paths.");

  ReadProperty(handler, index, abi::kpidIsDirectory, value, "Cannot read archive metadata.");
  item.is_folder = value.Get().vt == VT_BOOL && value.Get().boolVal != VARIANT_FALSE;
  ReadProperty(handler, index, abi::kpidModificationTime, value, "Cannot read timestamp.");
  if (value.Get().vt == VT_FILETIME) {
    item.modification_time = value.Get().filetime;
    item.time_known = true;
  }
  return item;
}

bool IsZipName(const std::wstring& archive) {
  const std::wstring extension = LowerAscii(std::filesystem::path(archive).extension().wstring());
  return extension == L".zip";
}

}  // namespace

void ExtractArchive(const EngineLibrary& engine, const std::wstring& archive, JobHost& host,
                    uint32_t threads) {
  if (!IsSupportedArchiveName(archive)) Fail("Only ZIP and 7z are supported.");

  // Declared in the reverse of the clean-up order: the guard goes last, so
  // the staging folder is removed while the destination is still held.
  const std::wstring destination = std::filesystem::path(archive).parent_path().wstring();
  HeldDirectories destination_guard;
  GuardDirectoryChain(destination, MissingFolder::kRefuse, destination_guard);

  const std::wstring staging_path =
      (std::filesystem::path(destination) / (L".Cindral-" + NewGuidText())).wstring();
  if (!CreateDirectoryW(MakeLongPath(staging_path).c_str(), nullptr))
    Fail("Cannot create staging directory.");
  const RemovedOnExit staging(staging_path);

  ComPtr<Input> input = Input::Open(archive);
  const GUID class_id = IsZipName(archive) ? abi::kZipHandlerClassId : abi::kSevenZipHandlerClassId;
  ComPtr<abi::IInArchive> handler;
  if (engine.create_object(&class_id, &abi::kIidInArchive, handler.PutVoid()) != S_OK || !handler)
    Fail("Cannot create archive decoder.");
  ComPtr<OpenCallback> open_callback = OpenCallback::Create(host);
  if (handler->Open(input.Get(), nullptr, open_callback.Get()) != S_OK)
    Fail("Cannot open archive: damaged archive or incorrect password.");
  ConfigureHandler(handler.Get(), threads, HandlerUse::kReading);

  abi::UInt32 count = 0;
  if (handler->GetNumberOfItems(&count) != S_OK) Fail("Cannot read archive directory.");
  if (count > kMaxItems) Fail("Archive contains too many entries.");

  // Grown as entries are examined, not reserved by the count: the count is
  // the archive's claim, and memory follows only what was really listed.
  std::vector<ExtractItem> items;
  std::unordered_set<std::wstring> seen_paths;
  for (abi::UInt32 index = 0; index < count; ++index) {
    if (host.IsCancelRequested()) Fail("Cancelled.");
    items.push_back(ExamineItem(*handler.Get(), index, seen_paths));
  }
  seen_paths = {};

  {
    ComPtr<ExtractCallback> callback = ExtractCallback::Create(host, staging.Path(), &items);
    if (handler->Extract(nullptr, abi::kAllItems, 0, callback.Get()) != S_OK) {
      if (callback->LacksFreeSpace()) Fail("Not enough free space to extract this archive.");
      Fail("Extraction failed: damaged archive, incorrect password, or cancelled operation.");
    }
    if (callback->HasFailedItem()) Fail("Archive checksum verification failed.");
  }
  handler->Close();

  PublishExtractedItems(destination, staging.Path(), items, host);
  host.ReportResultPath(destination);
}

}  // namespace cindral
