#include "tests/shell/shell_module_host.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <utility>

namespace cindral::testing {

ShellModule::ShellModule(const std::filesystem::path& dll) : module_(LoadLibraryW(dll.c_str())) {
  if (!module_) return;
  // Through void*, as a FARPROC's own type says nothing of the function's.
  get_class_object_ = reinterpret_cast<decltype(get_class_object_)>(
      reinterpret_cast<void*>(GetProcAddress(module_.Get(), "DllGetClassObject")));
  can_unload_now_ = reinterpret_cast<decltype(can_unload_now_)>(
      reinterpret_cast<void*>(GetProcAddress(module_.Get(), "DllCanUnloadNow")));
  if (!get_class_object_ || !can_unload_now_) module_.Reset();
}

HRESULT ShellModule::GetClassObject(REFCLSID class_id, REFIID iid, void** out) const {
  return get_class_object_(class_id, iid, out);
}

HRESULT ShellModule::CanUnloadNow() const { return can_unload_now_(); }

ComPtr<IExplorerCommand> ShellModule::MakeCommand(REFCLSID class_id) const {
  ComPtr<IClassFactory> factory;
  if (FAILED(GetClassObject(class_id, __uuidof(IClassFactory), factory.PutVoid()))) return {};
  ComPtr<IExplorerCommand> command;
  factory->CreateInstance(nullptr, __uuidof(IExplorerCommand), command.PutVoid());
  return command;
}

namespace {

class FakeShellItem final : public ComObject<IShellItem> {
 public:
  explicit FakeShellItem(FakeItem item) : item_(std::move(item)) {}

  HRESULT STDMETHODCALLTYPE BindToHandler(IBindCtx*, REFGUID, REFIID, void** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetParent(IShellItem** parent) override {
    *parent = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(SIGDN kind, LPWSTR* name) override {
    *name = nullptr;
    if (kind != SIGDN_FILESYSPATH || item_.path.empty()) return E_INVALIDARG;
    return SHStrDupW(item_.path.c_str(), name);
  }
  HRESULT STDMETHODCALLTYPE GetAttributes(SFGAOF mask, SFGAOF* attributes) override {
    *attributes = item_.attributes & mask;
    return *attributes == mask ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Compare(IShellItem*, SICHINTF, int* order) override {
    *order = 0;
    return E_NOTIMPL;
  }

 private:
  FakeItem item_;
};

class FakeShellItemArray final : public ComObject<IShellItemArray> {
 public:
  explicit FakeShellItemArray(const std::vector<FakeItem>& items) {
    for (const FakeItem& item : items)
      items_.push_back(ComPtr<IShellItem>::Adopt(new FakeShellItem(item)));
  }

  HRESULT STDMETHODCALLTYPE BindToHandler(IBindCtx*, REFGUID, REFIID, void** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetPropertyStore(GETPROPERTYSTOREFLAGS, REFIID, void** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetPropertyDescriptionList(REFPROPERTYKEY, REFIID,
                                                       void** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetAttributes(SIATTRIBFLAGS, SFGAOF, SFGAOF* attributes) override {
    *attributes = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    *count = static_cast<DWORD>(items_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItemAt(DWORD index, IShellItem** item) override {
    *item = nullptr;
    if (index >= items_.size()) return E_INVALIDARG;
    *item = ComPtr<IShellItem>(items_[index]).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumItems(IEnumShellItems** items) override {
    *items = nullptr;
    return E_NOTIMPL;
  }

 private:
  std::vector<ComPtr<IShellItem>> items_;
};

}  // namespace

ComPtr<IShellItemArray> MakeFakeItemArray(const std::vector<FakeItem>& items) {
  return ComPtr<IShellItemArray>::Adopt(new FakeShellItemArray(items));
}

ComPtr<IShellItemArray> MakeShellItemArray(const std::vector<std::wstring>& paths) {
  std::vector<LPITEMIDLIST> lists;
  for (const std::wstring& path : paths) {
    LPITEMIDLIST list = nullptr;
    if (SUCCEEDED(SHParseDisplayName(path.c_str(), nullptr, &list, 0, nullptr))) {
      lists.push_back(list);
    }
  }
  ComPtr<IShellItemArray> items;
  if (lists.size() == paths.size()) {
    SHCreateShellItemArrayFromIDLists(static_cast<UINT>(lists.size()),
                                      const_cast<LPCITEMIDLIST*>(lists.data()), items.Put());
  }
  for (LPITEMIDLIST list : lists) CoTaskMemFree(list);
  return items;
}

std::wstring TitleOf(IExplorerCommand* command, IShellItemArray* items) {
  LPWSTR title = nullptr;
  const HRESULT result = command->GetTitle(items, &title);
  if (FAILED(result)) return L"<failed " + std::to_wstring(result) + L">";
  std::wstring text = title ? title : L"<null>";
  CoTaskMemFree(title);
  return text;
}

EXPCMDSTATE StateOf(IExplorerCommand* command, IShellItemArray* items) {
  EXPCMDSTATE state = ECS_DISABLED;
  if (FAILED(command->GetState(items, FALSE, &state))) return ECS_DISABLED;
  return state;
}

}  // namespace cindral::testing
