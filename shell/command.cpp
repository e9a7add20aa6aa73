#include "shell/command.h"

#include <shlwapi.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/selection_request.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

DWORD ItemCount(IShellItemArray* items) {
  DWORD count = 0;
  items->GetCount(&count);
  return count;
}

// The file-system paths of the selection in its order. Items without one
// (libraries, a phone's storage) are left out; the callers compare counts.
std::vector<std::wstring> CollectSelection(IShellItemArray* items) {
  std::vector<std::wstring> paths;
  if (items == nullptr) return paths;
  const DWORD count = ItemCount(items);
  for (DWORD index = 0; index < count; ++index) {
    ComPtr<IShellItem> item;
    if (FAILED(items->GetItemAt(index, item.Put())) || !item) continue;
    CoTaskText path;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, path.Put())) || !path) continue;
    paths.emplace_back(path.Get());
  }
  return paths;
}

// A ZIP file is shown by the shell as a folder that is also a stream; only a
// folder that is not a stream keeps its dots in the archive's name.
FirstItem KindOfFirstItem(IShellItemArray* items) {
  ComPtr<IShellItem> item;
  if (FAILED(items->GetItemAt(0, item.Put())) || !item) return FirstItem::kFileOrArchive;
  SFGAOF attributes = 0;
  item->GetAttributes(SFGAO_FOLDER | SFGAO_STREAM, &attributes);
  const bool folder = (attributes & SFGAO_FOLDER) != 0 && (attributes & SFGAO_STREAM) == 0;
  return folder ? FirstItem::kRealFolder : FirstItem::kFileOrArchive;
}

std::wstring MakeTitle(CommandKind kind, IShellItemArray* items) {
  if (kind == CommandKind::kExtract) return ExtractTitle(ModuleLanguage());
  const std::vector<std::wstring> paths = CollectSelection(items);
  const FirstItem first = paths.size() == 1 ? KindOfFirstItem(items) : FirstItem::kFileOrArchive;
  return PackTitle(paths, first, ModuleLanguage());
}

}  // namespace

HRESULT Command::GetTitle(IShellItemArray* items, LPWSTR* title) {
  if (title == nullptr) return E_POINTER;
  *title = nullptr;
  try {
    return SHStrDupW(MakeTitle(kind_, items).c_str(), title);
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT Command::GetIcon(IShellItemArray*, LPWSTR* icon) {
  if (icon == nullptr) return E_POINTER;
  *icon = nullptr;
  try {
    return SHStrDupW((ModuleFolder() + L"Cindral.ico").c_str(), icon);
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT Command::GetToolTip(IShellItemArray*, LPWSTR* tip) {
  if (tip != nullptr) *tip = nullptr;
  return E_NOTIMPL;
}

HRESULT Command::GetCanonicalName(GUID* name) {
  if (name == nullptr) return E_POINTER;
  *name = kind_ == CommandKind::kPack ? kPackCommandId : kExtractCommandId;
  return S_OK;
}

// Called for every menu Explorer builds, on the thread that shows it: the
// pack command decides from the count alone and the extract command from
// names, never from the files.
HRESULT Command::GetState(IShellItemArray* items, BOOL, EXPCMDSTATE* state) {
  if (state == nullptr) return E_POINTER;
  *state = ECS_HIDDEN;
  if (items == nullptr) return S_OK;
  const DWORD count = ItemCount(items);
  if (count == 0) return S_OK;
  if (kind_ == CommandKind::kPack) {
    *state = ECS_ENABLED;
    return S_OK;
  }
  try {
    if (ShowsExtract(CollectSelection(items), count)) *state = ECS_ENABLED;
  } catch (...) {
    // A command that cannot decide stays hidden.
  }
  return S_OK;
}

HRESULT Command::Invoke(IShellItemArray* items, IBindCtx*) {
  try {
    const std::vector<std::wstring> paths = CollectSelection(items);
    if (paths.empty()) return E_INVALIDARG;
    const std::wstring request =
        WriteSelectionRequest(kind_ == CommandKind::kPack, paths).wstring();

    const std::wstring program = ModuleFolder() + L"Vantle.exe";
    const std::wstring folder = std::filesystem::path(program).parent_path().wstring();
    std::wstring command_line =
        QuoteCommandLineArgument(program) + L" --request " + QuoteCommandLineArgument(request);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &process)) {
      const DWORD error = GetLastError();
      // The program would have deleted it; nobody else will.
      DeleteFileW(request.c_str());
      return HRESULT_FROM_WIN32(error);
    }
    // The command never waits for the program.
    UniqueHandle(process.hProcess).Reset();
    UniqueHandle(process.hThread).Reset();
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT Command::GetFlags(EXPCMDFLAGS* flags) {
  if (flags == nullptr) return E_POINTER;
  *flags = ECF_DEFAULT;
  return S_OK;
}

HRESULT Command::EnumSubCommands(IEnumExplorerCommand** commands) {
  if (commands != nullptr) *commands = nullptr;
  return E_NOTIMPL;
}

}  // namespace cindral
