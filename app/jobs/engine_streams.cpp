#include "app/jobs/engine_streams.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "app/jobs/path_safety.h"
#include "common/utf8.h"

namespace cindral {
namespace {

HRESULT SeekFile(HANDLE file, abi::Int64 offset, abi::UInt32 origin, abi::UInt64* new_position) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  position.QuadPart = 0;
  if (!SetFilePointerEx(file, distance, &position, origin)) return ResultFromWin32(GetLastError());
  if (new_position != nullptr) *new_position = static_cast<abi::UInt64>(position.QuadPart);
  return S_OK;
}

}  // namespace

HRESULT ResultFromWin32(DWORD error) {
  if (error == 0) return E_FAIL;
  return HRESULT_FROM_WIN32(error);
}

UniqueHandle OpenFileForReading(const std::wstring& path) {
  return UniqueHandle(CreateFileW(MakeLongPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

ComPtr<Input> Input::Open(const std::wstring& path) {
  UniqueHandle file = OpenFileForReading(path);
  if (!file) {
    const DWORD error = GetLastError();
    throw std::runtime_error("Cannot read source file (Windows " + std::to_string(error) +
                             "): " + Utf8FromWide(path));
  }
  return Adopt(std::move(file));
}

ComPtr<Input> Input::Adopt(UniqueHandle file) {
  return ComPtr<Input>::Adopt(new Input(std::move(file)));
}

HRESULT Input::Read(void* data, abi::UInt32 size, abi::UInt32* processed) {
  DWORD done = 0;
  const BOOL ok = ReadFile(file_.Get(), data, size, &done, nullptr);
  const DWORD error = ok ? 0 : GetLastError();
  if (processed != nullptr) *processed = done;
  return ok ? S_OK : ResultFromWin32(error);
}

HRESULT Input::Seek(abi::Int64 offset, abi::UInt32 origin, abi::UInt64* new_position) {
  return SeekFile(file_.Get(), offset, origin, new_position);
}

ComPtr<Output> Output::Create(const std::wstring& path) {
  UniqueHandle file(CreateFileW(MakeLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("Cannot create temporary output.");
  return ComPtr<Output>::Adopt(new Output(std::move(file)));
}

ComPtr<Output> Output::CreateIn(HANDLE folder, std::wstring_view name) {
  LONG status = 0;
  UniqueHandle file =
      OpenNameInFolder(folder, name, NameKind::kFile, GENERIC_WRITE, 0, FILE_CREATE, status);
  if (!file) throw std::runtime_error("Cannot create temporary output.");
  return ComPtr<Output>::Adopt(new Output(std::move(file)));
}

HRESULT Output::Write(const void* data, abi::UInt32 size, abi::UInt32* processed) {
  DWORD done = 0;
  const BOOL ok = WriteFile(file_.Get(), data, size, &done, nullptr);
  const DWORD error = ok ? 0 : GetLastError();
  if (processed != nullptr) *processed = done;
  return ok ? S_OK : ResultFromWin32(error);
}

HRESULT Output::Seek(abi::Int64 offset, abi::UInt32 origin, abi::UInt64* new_position) {
  return SeekFile(file_.Get(), offset, origin, new_position);
}

HRESULT Output::SetSize(abi::UInt64 new_size) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(new_size);
  if (!SetFilePointerEx(file_.Get(), distance, nullptr, FILE_BEGIN))
    return ResultFromWin32(GetLastError());
  if (!SetEndOfFile(file_.Get())) return ResultFromWin32(GetLastError());
  return S_OK;
}

}  // namespace cindral
