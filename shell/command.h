// The two Explorer context-menu commands. They do no archive work: Invoke
// hands the selection to Vantle.exe through a request file.
#pragma once

#include <windows.h>
#include <shobjidl.h>

#include "common/com_object.h"
#include "shell/command_title.h"
#include "shell/module.h"

namespace cindral {

// The class ids Explorer creates the commands by; also their canonical names.
inline constexpr CLSID kPackCommandId = {
    0xB675C90E, 0x40FA, 0x4BE6, {0xA9, 0x56, 0xE3, 0x97, 0x50, 0xF4, 0x21, 0x01}};
inline constexpr CLSID kExtractCommandId = {
    0xB675C90E, 0x40FA, 0x4BE6, {0xA9, 0x56, 0xE3, 0x97, 0x50, 0xF4, 0x21, 0x02}};

class Command final : public ComObject<IExplorerCommand> {
 public:
  explicit Command(CommandKind kind) noexcept : kind_(kind) {}

  HRESULT STDMETHODCALLTYPE GetTitle(IShellItemArray* items, LPWSTR* title) override;
  HRESULT STDMETHODCALLTYPE GetIcon(IShellItemArray* items, LPWSTR* icon) override;
  HRESULT STDMETHODCALLTYPE GetToolTip(IShellItemArray* items, LPWSTR* tip) override;
  HRESULT STDMETHODCALLTYPE GetCanonicalName(GUID* name) override;
  HRESULT STDMETHODCALLTYPE GetState(IShellItemArray* items, BOOL ok_to_be_slow,
                                     EXPCMDSTATE* state) override;
  HRESULT STDMETHODCALLTYPE Invoke(IShellItemArray* items, IBindCtx* context) override;
  HRESULT STDMETHODCALLTYPE GetFlags(EXPCMDFLAGS* flags) override;
  HRESULT STDMETHODCALLTYPE EnumSubCommands(IEnumExplorerCommand** commands) override;

 private:
  ModuleReference reference_;
  const CommandKind kind_;
};

}  // namespace cindral
