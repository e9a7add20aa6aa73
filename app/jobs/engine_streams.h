// File streams handed to the archive engine: the archive or a source file to
// read, a staged file or a new archive to write. Each call is one file-system
// call; nothing is buffered here.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "common/com_object.h"
#include "common/win_owners.h"
#include "engine/abi/archive_interfaces.h"

namespace cindral {

// The result code for a failed Windows call, as HRESULT_FROM_WIN32 makes it.
// A failed call that left no error code still answers a failure.
HRESULT ResultFromWin32(DWORD error);

// A file open for reading, for the engine's IInStream.
class Input final : public ComObject<abi::IInStream> {
 public:
  // Opens path for sequential reading, sharing read, write and delete. Fails
  // with "Cannot read source file (Windows <code>): <path>".
  static ComPtr<Input> Open(const std::wstring& path);
  // Takes over a handle opened for reading.
  static ComPtr<Input> Adopt(UniqueHandle file);

  HRESULT STDMETHODCALLTYPE Read(void* data, abi::UInt32 size, abi::UInt32* processed) override;
  HRESULT STDMETHODCALLTYPE Seek(abi::Int64 offset, abi::UInt32 origin,
                                 abi::UInt64* new_position) override;

 private:
  explicit Input(UniqueHandle file) : file_(std::move(file)) {}
  ~Input() override = default;

  UniqueHandle file_;
};

// A new file open for writing, for the engine's IOutStream.
class Output final : public ComObject<abi::IOutStream> {
 public:
  // Creates path as a new file without sharing; an existing file is never
  // opened. Fails with "Cannot create temporary output.".
  static ComPtr<Output> Create(const std::wstring& path);
  // The same for the file name inside the folder that folder holds, opened
  // from that folder rather than from the volume root.
  static ComPtr<Output> CreateIn(HANDLE folder, std::wstring_view name);

  HANDLE File() const { return file_.Get(); }

  HRESULT STDMETHODCALLTYPE Write(const void* data, abi::UInt32 size,
                                  abi::UInt32* processed) override;
  HRESULT STDMETHODCALLTYPE Seek(abi::Int64 offset, abi::UInt32 origin,
                                 abi::UInt64* new_position) override;
  HRESULT STDMETHODCALLTYPE SetSize(abi::UInt64 new_size) override;

 private:
  explicit Output(UniqueHandle file) : file_(std::move(file)) {}
  ~Output() override = default;

  UniqueHandle file_;
};

// Opens a file the way Input does; the handle is invalid on failure and
// GetLastError tells why.
UniqueHandle OpenFileForReading(const std::wstring& path);

}  // namespace cindral
