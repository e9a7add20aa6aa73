// The callback objects through which the archive engine reports progress,
// asks for streams and asks for the password. They never let an exception
// reach the engine: every failure becomes a result code, and its text goes
// to the job's host, which outlives every callback of its job.
#pragma once

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/jobs/engine_streams.h"
#include "app/jobs/path_safety.h"
#include "common/com_object.h"
#include "common/win_owners.h"
#include "engine/abi/archive_interfaces.h"

namespace cindral {

class JobHost;

// One archive entry as extraction knows it; position i is engine index i.
struct ExtractItem {
  std::wstring relative_path;  // already made safe
  bool is_folder = false;
  FILETIME modification_time{};
  bool time_known = false;
  // Set by ExtractCallback once the item is complete in the staging folder:
  // a folder made, a file written and reported sound.
  bool staged = false;
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
// named and an existing message stays.
void NoteSkippedSource(JobHost& host, std::wstring_view path);

class OpenCallback final
    : public ComObject<abi::IArchiveOpenCallback, abi::ICryptoGetTextPassword> {
 public:
  static ComPtr<OpenCallback> Create(JobHost& host);

  HRESULT STDMETHODCALLTYPE SetTotal(const abi::UInt64* files, const abi::UInt64* bytes) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* files,
                                         const abi::UInt64* bytes) override;
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

 private:
  explicit OpenCallback(JobHost& host) : host_(host) {}
  ~OpenCallback() override = default;

  JobHost& host_;
};

// Writes every extracted file into the staging folder, each opened by name
// inside its guarded folder. Only the chain of the folder in use is held, so
// the handles held grow with the depth of the tree, never with the number of
// folders or files.
class ExtractCallback final
    : public ComObject<abi::IArchiveExtractCallback, abi::ICryptoGetTextPassword> {
 public:
  static ComPtr<ExtractCallback> Create(JobHost& host, std::wstring staging_root,
                                        std::vector<ExtractItem>* items);

  // The engine reported at least one item as not OK.
  bool HasFailedItem() const { return failed_; }
  // The announced total was more than the staging volume has free.
  bool LacksFreeSpace() const { return lacks_free_space_; }
  size_t HeldDirectoryCount() const { return staging_folders_.HeldCount(); }

  HRESULT STDMETHODCALLTYPE SetTotal(abi::UInt64 total) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* completed) override;
  HRESULT STDMETHODCALLTYPE GetStream(abi::UInt32 index, abi::ISequentialOutStream** out,
                                      abi::Int32 ask_mode) override;
  HRESULT STDMETHODCALLTYPE PrepareOperation(abi::Int32 ask_mode) override;
  HRESULT STDMETHODCALLTYPE SetOperationResult(abi::Int32 result) override;
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

 private:
  ExtractCallback(JobHost& host, std::wstring staging_root, std::vector<ExtractItem>* items);
  ~ExtractCallback() override;

  ComPtr<abi::ISequentialOutStream> OpenItemStream(abi::UInt32 index, abi::Int32 ask_mode);

  JobHost& host_;
  std::wstring staging_root_;
  std::vector<ExtractItem>* items_;
  GuardedFolderTree staging_folders_;
  ComPtr<Output> current_output_;
  abi::UInt32 current_index_ = 0;
  bool failed_ = false;
  bool lacks_free_space_ = false;
};

class UpdateCallback final : public ComObject<abi::IArchiveUpdateCallback> {
 public:
  static ComPtr<UpdateCallback> Create(JobHost& host, const std::vector<ZipSourceItem>* items);

  HRESULT STDMETHODCALLTYPE SetTotal(abi::UInt64 total) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64* completed) override;
  HRESULT STDMETHODCALLTYPE GetUpdateItemInfo(abi::UInt32 index, abi::Int32* new_data,
                                              abi::Int32* new_properties,
                                              abi::UInt32* index_in_archive) override;
  HRESULT STDMETHODCALLTYPE GetProperty(abi::UInt32 index, PROPID id, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE GetStream(abi::UInt32 index, abi::ISequentialInStream** in) override;
  HRESULT STDMETHODCALLTYPE SetOperationResult(abi::Int32 result) override;

 private:
  UpdateCallback(JobHost& host, const std::vector<ZipSourceItem>* items)
      : host_(host), items_(items) {}
  ~UpdateCallback() override = default;

  HRESULT OpenSource(const ZipSourceItem& item, abi::ISequentialInStream** in);

  JobHost& host_;
  const std::vector<ZipSourceItem>* items_;
};

}  // namespace cindral
