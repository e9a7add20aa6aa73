// The shell extension as an in-process COM server: its entry point, its two
// exports and the class factory. It registers nothing itself; the package
// that declares the two class ids tells Explorer where to find it.
#include "shell/module.h"

#include <unknwn.h>

#include <new>

#include "common/com_object.h"
#include "shell/command.h"

namespace cindral {
namespace {

HMODULE module_handle = nullptr;
// Live factories and commands plus outstanding server locks.
LONG module_objects = 0;
const Language module_language = LanguageOfUserInterface(GetUserDefaultUILanguage());

constexpr DWORD kLongPathLength = 32768;

bool KindOfClass(REFCLSID class_id, CommandKind& kind) {
  if (IsEqualCLSID(class_id, kPackCommandId)) {
    kind = CommandKind::kPack;
    return true;
  }
  if (IsEqualCLSID(class_id, kExtractCommandId)) {
    kind = CommandKind::kExtract;
    return true;
  }
  return false;
}

// Hands out the interface the caller asked for and drops the creation
// reference, so an unanswered interface frees the new object again.
template <typename Object>
HRESULT QueryNewObject(Object* object, REFIID iid, void** out) {
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = object->QueryInterface(iid, out);
  object->Release();
  return result;
}

class Factory final : public ComObject<IClassFactory> {
 public:
  explicit Factory(CommandKind kind) noexcept : kind_(kind) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return QueryNewObject(new (std::nothrow) Command(kind_), iid, out);
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&module_objects);
    } else {
      InterlockedDecrement(&module_objects);
    }
    return S_OK;
  }

 private:
  ModuleReference reference_;
  const CommandKind kind_;
};

}  // namespace

ModuleReference::ModuleReference() noexcept { InterlockedIncrement(&module_objects); }
ModuleReference::~ModuleReference() { InterlockedDecrement(&module_objects); }

std::wstring ModuleFolder() {
  std::wstring file(kLongPathLength, L'\0');
  file.resize(GetModuleFileNameW(module_handle, file.data(), kLongPathLength));
  return file.substr(0, file.find_last_of(L"\\/") + 1);
}

Language ModuleLanguage() { return module_language; }

}  // namespace cindral

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    cindral::module_handle = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID class_id, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  cindral::CommandKind kind{};
  if (!cindral::KindOfClass(class_id, kind)) return CLASS_E_CLASSNOTAVAILABLE;
  return cindral::QueryNewObject(new (std::nothrow) cindral::Factory(kind), iid, out);
}

STDAPI DllCanUnloadNow() {
  return InterlockedCompareExchange(&cindral::module_objects, 0, 0) == 0 ? S_OK : S_FALSE;
}
