// The callback objects through which the archive engine reports progress,
// asks for streams and asks for the password. They never let an exception
// reach the engine: every failure becomes a result code, and its text goes
// into the shared state when there is one (headless jobs have none).
#pragma once

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/jobs/engine_streams.h"
#include "app/jobs/path_safety.h"
#include "common/win_owners.h"
#include "engine/abi/archive_interfaces.h"

namespace cindral {

struct WorkerSharedState;

// One archive entry as extraction knows it; position i is engine index i.
struct ExtractItem {
  std::wstring relative_path;  // already made safe
  bool is_folder = false;
  FILETIME modification_time{};
  bool time_known = false;
};

// One file or folder to be packed; position i is engine index i.
struct ZipSourceItem {
  std::wstring source_path;
  std::wstring archive_name;
  bool is_folder = false;
  uint64_t size = 0;
  FILETIME last_write_time{};
  uint32_t attributes = 0;
};

// Records that a source was left out of a new archive: only the first one is
// named, an existing message stays, and headless runs record nothing.
void NoteSkippedSource(WorkerSharedState* shared, std::wstring_view path);

class OpenCallback final : public abi::IArchiveOpenCallback, public abi::ICryptoGetTextPassword {
 public:
  static ComPtr<OpenCallback> Create(WorkerSharedState* shared);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE SetTotal(const abi::UInt64* files, const abi::UInt64* bytes) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* files,
                                         const abi::UInt64* bytes) override;
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

 private:
  explicit OpenCallback(WorkerSharedState* shared) : shared_(shared) {}
  ~OpenCallback() = default;

  LONG references_ = 1;
  WorkerSharedState* shared_;
};

// Writes every extracted file into the staging folder. Each folder there is
// guarded once, the first time an item needs it, and stays guarded until the
// callback goes away; so the handles held grow with the number of distinct
// folders, never with the number of files.
class ExtractCallback final : public abi::IArchiveExtractCallback,
                              public abi::ICryptoGetTextPassword {
 public:
  static ComPtr<ExtractCallback> Create(WorkerSharedState* shared, std::wstring staging_root,
                                        const std::vector<ExtractItem>* items);

  // The engine reported at least one item as not OK.
  bool HasFailedItem() const { return failed_; }
  // The announced total was more than the staging volume has free.
  bool LacksFreeSpace() const { return lacks_free_space_; }
  size_t HeldDirectoryCount() const { return staging_folders_.HeldCount(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE SetTotal(abi::UInt64 total) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* completed) override;
  HRESULT STDMETHODCALLTYPE GetStream(abi::UInt32 index, abi::ISequentialOutStream** out,
                                      abi::Int32 ask_mode) override;
  HRESULT STDMETHODCALLTYPE PrepareOperation(abi::Int32 ask_mode) override;
  HRESULT STDMETHODCALLTYPE SetOperationResult(abi::Int32 result) override;
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

 private:
  ExtractCallback(WorkerSharedState* shared, std::wstring staging_root,
                  const std::vector<ExtractItem>* items);
  ~ExtractCallback();

  ComPtr<abi::ISequentialOutStream> OpenItemStream(abi::UInt32 index, abi::Int32 ask_mode);

  LONG references_ = 1;
  WorkerSharedState* shared_;
  std::wstring staging_root_;
  const std::vector<ExtractItem>* items_;
  // One held handle per distinct staging folder, for the callback's whole
  // life: n files in a few folders hold a few handles, not n chains.
  GuardedFolderTree staging_folders_;
  ComPtr<Output> current_output_;
  abi::UInt32 current_index_ = 0;
  bool failed_ = false;
  bool lacks_free_space_ = false;
};

class UpdateCallback final : public abi::IArchiveUpdateCallback {
 public:
  static ComPtr<UpdateCallback> Create(WorkerSharedState* shared,
                                       const std::vector<ZipSourceItem>* items);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE SetTotal(abi::UInt64 total) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* completed) override;
  HRESULT STDMETHODCALLTYPE GetUpdateItemInfo(abi::UInt32 index, abi::Int32* new_data,
                                              abi::Int32* new_properties,
                                              abi::UInt32* index_in_archive) override;
  HRESULT STDMETHODCALLTYPE GetProperty(abi::UInt32 index, PROPID id, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE GetStream(abi::UInt32 index, abi::ISequentialInStream** in) override;
  HRESULT STDMETHODCALLTYPE SetOperationResult(abi::Int32 result) override;

 private:
  UpdateCallback(WorkerSharedState* shared, const std::vector<ZipSourceItem>* items)
      : shared_(shared), items_(items) {}
  ~UpdateCallback() = default;

  HRESULT OpenSource(const ZipSourceItem& item, abi::ISequentialInStream** in);

  LONG references_ = 1;
  WorkerSharedState* shared_;
  const std::vector<ZipSourceItem>* items_;
};

}  // namespace cindral
