// The shell extension as Explorer meets it: a DLL loaded by path, asked for
// class objects through its export, commands made by its factories.
#pragma once

#include <windows.h>
#include <shobjidl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/com_object.h"
#include "common/win_owners.h"

namespace cindral::testing {

inline constexpr CLSID kPackClass = {
    0xB675C90E, 0x40FA, 0x4BE6, {0xA9, 0x56, 0xE3, 0x97, 0x50, 0xF4, 0x21, 0x01}};
inline constexpr CLSID kExtractClass = {
    0xB675C90E, 0x40FA, 0x4BE6, {0xA9, 0x56, 0xE3, 0x97, 0x50, 0xF4, 0x21, 0x02}};

class ShellModule {
 public:
  explicit ShellModule(const std::filesystem::path& dll);

  bool IsLoaded() const { return static_cast<bool>(module_); }
  HRESULT GetClassObject(REFCLSID class_id, REFIID iid, void** out) const;
  HRESULT CanUnloadNow() const;
  // A command made the way Explorer makes it; null when any step fails.
  ComPtr<IExplorerCommand> MakeCommand(REFCLSID class_id) const;

 private:
  UniqueModule module_;
  HRESULT(STDAPICALLTYPE* get_class_object_)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* can_unload_now_)() = nullptr;
};

// A shell item as a test describes it, for what Wine's shell cannot show:
// items without a file-system path, names Windows would not create, a ZIP
// that reports itself as folder and stream.
struct FakeItem {
  std::wstring path;  // empty: the item has no file-system path
  SFGAOF attributes = 0;
};

ComPtr<IShellItemArray> MakeFakeItemArray(const std::vector<FakeItem>& items);

// A real array of the shell's own items for existing paths.
ComPtr<IShellItemArray> MakeShellItemArray(const std::vector<std::wstring>& paths);

// The command's title, or the failing result as text.
std::wstring TitleOf(IExplorerCommand* command, IShellItemArray* items);
EXPCMDSTATE StateOf(IExplorerCommand* command, IShellItemArray* items);

}  // namespace cindral::testing
