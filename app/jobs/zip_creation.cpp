#include "app/jobs/zip_creation.h"

#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <unordered_set>

#include "app/jobs/engine_binding.h"
#include "app/jobs/engine_streams.h"
#include "app/jobs/job_host.h"
#include "app/jobs/path_safety.h"
#include "common/file_system.h"
#include "common/guid_text.h"
#include "common/utf8.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

constexpr unsigned kMaxCandidateNumber = 99999;
constexpr size_t kMaxItems = 0xFFFFFFFEu;

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

void CheckCancel(JobHost& host) {
  if (host.IsCancelRequested()) Fail("Cancelled.");
}

bool IsSkipError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

std::wstring LastComponent(const std::wstring& path) {
  return std::filesystem::path(path).filename().wstring();
}

std::wstring FoldAscii(std::wstring text) {
  for (wchar_t& unit : text) {
    if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
  }
  return text;
}

// The standard stem: the name without its last extension, where a leading
// dot is no extension and anything from a colon on does not count.
std::wstring StemOf(std::wstring name) {
  name = name.substr(0, name.find(L':'));
  const size_t dot = name.find_last_of(L'.');
  if (dot == std::wstring::npos || dot == 0) return name;
  return name.substr(0, dot);
}

// "Cannot enumerate source directory: <system text>: "<path>"".
[[noreturn]] void FailListing(DWORD error, const std::wstring& folder) {
  const std::string system = FileSystemFailure("x", error).what();
  throw std::runtime_error("Cannot enumerate source directory: " + system.substr(3) + ": \"" +
                           Utf8FromWide(folder) + "\"");
}

// One folder being listed, with the names its entries get in the archive.
struct OpenListing {
  UniqueFind find;
  std::wstring source;        // as the item list names the folder
  std::wstring folder;        // long-path form, as the listing names its entries
  std::wstring archive_name;  // the folder's own archive name
  WIN32_FIND_DATAW entry{};
  bool entry_pending = false;  // entry holds the first result, not yet used
};

// Reads the metadata of one item; false means skipped.
bool AppendSourceItem(const std::wstring& source, const std::wstring& archive_name,
                      std::vector<ZipSourceItem>& items, JobHost& host, bool nested) {
  CheckCancel(host);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(MakeLongPath(source).c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    if (!nested || !IsSkipError(error)) Fail("Cannot read source metadata.");
    NoteSkippedSource(host, source);
    return false;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    Fail("Source reparse points are blocked.");
  if (items.size() >= kMaxItems) Fail("Too many files.");
  ZipSourceItem item;
  item.source_path = source;
  item.archive_name = archive_name;
  item.is_folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  item.size = item.is_folder ? 0 : uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
  item.last_write_time = data.ftLastWriteTime;
  item.attributes = data.dwFileAttributes;
  items.push_back(std::move(item));
  return true;
}

// Opens a folder's listing; nullopt when the folder vanished or is locked.
std::optional<OpenListing> OpenFolderListing(const std::wstring& source,
                                             const std::wstring& archive_name, JobHost& host) {
  OpenListing listing;
  listing.source = source;
  listing.folder = MakeLongPath(source);
  listing.archive_name = archive_name;
  listing.find.Reset(FindFirstFileExW((listing.folder + L"\\*").c_str(), FindExInfoBasic,
                                      &listing.entry, FindExSearchNameMatch, nullptr, 0));
  if (!listing.find) {
    const DWORD error = GetLastError();
    if (!IsSkipError(error)) FailListing(error, source);
    NoteSkippedSource(host, source);
    return std::nullopt;
  }
  listing.entry_pending = true;
  return listing;
}

// The next entry of a listing other than "." and ".."; false at its end.
bool NextEntry(OpenListing& listing, JobHost& host) {
  for (;;) {
    if (!listing.entry_pending && !FindNextFileW(listing.find.Get(), &listing.entry)) {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_FILES) return false;
      if (!IsSkipError(error)) FailListing(error, listing.source);
      NoteSkippedSource(host, listing.source);
      return false;
    }
    listing.entry_pending = false;
    const std::wstring_view name(listing.entry.cFileName);
    if (name != L"." && name != L"..") return true;
  }
}

}  // namespace

std::wstring ChooseArchivePath(const std::vector<std::wstring>& selection) {
  const std::filesystem::path first(selection.front());
  const std::filesystem::path folder = first.parent_path();
  std::wstring name;
  if (selection.size() == 1) {
    const DWORD attributes = GetFileAttributesW(MakeLongPath(selection.front()).c_str());
    const bool is_folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    name = is_folder ? first.filename().wstring() : StemOf(first.filename().wstring());
  } else {
    name = folder.filename().wstring();
  }
  // Items at a drive's root have no folder name to borrow.
  if (name.empty()) name = L"Archive";
  return (folder / (name + L".zip")).wstring();
}

void CollectSourceItems(const std::wstring& source, const std::wstring& archive_name,
                        std::vector<ZipSourceItem>& items, JobHost& host, bool nested) {
  if (!AppendSourceItem(source, archive_name, items, host, nested)) return;
  if (!items.back().is_folder) return;

  // An explicit stack instead of recursion: a hostile tree thousands of
  // levels deep must not exhaust the thread's stack.
  std::vector<OpenListing> open;
  if (auto listing = OpenFolderListing(source, archive_name, host))
    open.push_back(std::move(*listing));
  while (!open.empty()) {
    OpenListing& top = open.back();
    if (!NextEntry(top, host)) {
      open.pop_back();
      continue;
    }
    const std::wstring child = top.folder + L'\\' + top.entry.cFileName;
    const std::wstring child_name = top.archive_name + L'\\' + top.entry.cFileName;
    if (!AppendSourceItem(child, child_name, items, host, true) || !items.back().is_folder)
      continue;
    if (auto listing = OpenFolderListing(child, child_name, host))
      open.push_back(std::move(*listing));
  }
}

void CreateZipArchive(const EngineLibrary& engine, const std::vector<std::wstring>& selection,
                      JobHost& host, uint32_t threads) {
  if (selection.empty()) Fail("No selection.");
  const std::wstring archive_path = ChooseArchivePath(selection);
  const std::filesystem::path folder = std::filesystem::path(archive_path).parent_path();
  HeldDirectories destination_guard;
  GuardDirectoryChain(folder.wstring(), MissingFolder::kRefuse, destination_guard);

  std::vector<ZipSourceItem> items;
  std::unordered_set<std::wstring> top_level_names;
  for (const std::wstring& path : selection) {
    const std::wstring name = LastComponent(path);
    if (!top_level_names.insert(FoldAscii(name)).second)
      Fail("Selection contains duplicate top-level names.");
    CollectSourceItems(path, name, items, host, false);
  }

  const RemovedOnExit temporary((folder / (L".Cindral-" + NewGuidText() + L".tmp")).wstring());
  {
    ComPtr<abi::IOutArchive> handler;
    if (engine.create_object(&abi::kZipHandlerClassId, &abi::kIidOutArchive, handler.PutVoid()) !=
            S_OK ||
        !handler)
      Fail("Cannot create ZIP encoder.");
    ConfigureHandler(handler.Get(), threads, HandlerUse::kZipWriting);
    ComPtr<Output> output = Output::Create(temporary.Path());
    ComPtr<UpdateCallback> callback = UpdateCallback::Create(host, &items);
    if (handler->UpdateItems(output.Get(), static_cast<abi::UInt32>(items.size()),
                             callback.Get()) != S_OK)
      Fail("Compression failed or cancelled.");
    if (!FlushFileBuffers(output->File())) Fail("Cannot flush archive.");
  }
  CheckCancel(host);

  const std::wstring long_temporary = MakeLongPath(temporary.Path());
  const std::wstring stem = (folder / std::filesystem::path(archive_path).stem()).wstring();
  for (unsigned number = 0; number <= kMaxCandidateNumber; ++number) {
    const std::wstring candidate =
        number == 0 ? archive_path : stem + L" (" + std::to_wstring(number) + L").zip";
    if (MoveFileExW(long_temporary.c_str(), MakeLongPath(candidate).c_str(),
                    MOVEFILE_WRITE_THROUGH)) {
      host.ReportResultPath(candidate);
      return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
      Fail("Cannot publish ZIP archive.");
  }
  Fail("Cannot find an available archive filename.");
}

}  // namespace cindral
