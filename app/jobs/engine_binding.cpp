#include "app/jobs/engine_binding.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/jobs/job_host.h"
#include "common/utf8.h"

namespace cindral {
namespace {

constexpr DWORD kEngineSearchFlags =
    LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
static_assert(kEngineSearchFlags == 0x900);

std::filesystem::path ExecutablePath() {
  std::vector<wchar_t> buffer(32768);
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) throw std::runtime_error("Cindral engine missing.");
  return std::filesystem::path(std::wstring(buffer.data(), length));
}

}  // namespace

void LoadEngine(EngineLibrary& engine) {
  const std::filesystem::path library = ExecutablePath().parent_path() / L"Cindral.Engine.dll";
  // An absolute path with these flags keeps the current folder and PATH out
  // of the search, for the engine and for whatever it imports.
  engine.module.Reset(LoadLibraryExW(library.c_str(), nullptr, kEngineSearchFlags));
  if (!engine.module) throw std::runtime_error("Cindral engine missing.");
  engine.create_object = reinterpret_cast<abi::CreateObjectFunction>(
      reinterpret_cast<void*>(GetProcAddress(engine.module.Get(), "CreateObject")));
  if (engine.create_object == nullptr) throw std::runtime_error("Invalid Cindral engine.");
}

void FreeEngine(EngineLibrary& engine) {
  engine.create_object = nullptr;
  engine.module.Reset();
}

void ConfigureHandler(IUnknown* handler, uint32_t thread_count, HandlerUse use) {
  ComPtr<abi::ISetProperties> properties;
  if (handler == nullptr ||
      handler->QueryInterface(abi::kIidSetProperties, properties.PutVoid()) != S_OK || !properties)
    return;

  UniqueBstr method(SysAllocString(L"Deflate"));
  if (use == HandlerUse::kZipWriting && method.Get() == nullptr)
    throw std::runtime_error("Cannot configure archive engine.");

  const wchar_t* const names[3] = {L"mt", L"m", L"x"};
  PROPVARIANT values[3] = {};
  values[0].vt = VT_UI4;
  values[0].ulVal = thread_count == 0 ? 1 : thread_count;
  values[1].vt = VT_BSTR;
  values[1].bstrVal = method.Get();
  values[2].vt = VT_UI4;
  values[2].ulVal = 5;
  const abi::UInt32 count = use == HandlerUse::kZipWriting ? 3 : 1;
  if (properties->SetProperties(names, values, count) != S_OK)
    throw std::runtime_error("Cannot configure archive engine.");
}

HRESULT RequestArchivePassword(JobHost& host, BSTR* password) noexcept {
  if (password == nullptr) return E_INVALIDARG;
  *password = nullptr;
  try {
    // A cancelled prompt throws "Cancelled.", which lands in the message
    // field like every other failure here.
    const std::optional<std::wstring> given = host.RequestPassword();
    if (!given) return E_ABORT;
    *password = SysAllocString(given->c_str());
    return *password != nullptr ? S_OK : E_OUTOFMEMORY;
  } catch (const std::exception& failure) {
    host.ReportCallbackFailure(WideFromUtf8(failure.what()));
    return E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace cindral
