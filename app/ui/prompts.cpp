#include "app/ui/prompts.h"

#include <commctrl.h>

#include <algorithm>

#include "app/ui/texts.h"

namespace cindral {
namespace {

// The prompt's placement and controls are in unscaled pixels, so the window
// looks the same beside a main window on any display.
constexpr int kPromptOffsetX = 80;
constexpr int kPromptOffsetY = 160;
constexpr int kPromptWidth = 390;
constexpr int kPromptHeight = 170;
constexpr int kPasswordUnits = 512;

struct PasswordPrompt {
  bool accepted = false;
  bool done = false;
  HWND edit = nullptr;
};

PasswordPrompt* PromptOf(HWND window) {
  return reinterpret_cast<PasswordPrompt*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

struct ControlBox {
  int x, y, width, height;
};

HWND AddControl(HWND parent, DWORD extended_style, const wchar_t* control_class,
                const wchar_t* text, DWORD style, ControlBox box, int id) {
  return CreateWindowExW(extended_style, control_class, text, WS_CHILD | WS_VISIBLE | style, box.x,
                         box.y, box.width, box.height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         GetModuleHandleW(nullptr), nullptr);
}

void BuildPasswordControls(HWND window, PasswordPrompt& prompt) {
  const auto font = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
  AddControl(window, 0, L"STATIC", Text(kTextPasswordLabel), 0, {20, 16, 330, 24}, -1);
  prompt.edit =
      AddControl(window, WS_EX_CLIENTEDGE, L"EDIT", L"", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL,
                 {20, 48, 330, 30}, kPasswordEditId);
  SendMessageW(prompt.edit, EM_LIMITTEXT, kPasswordUnits - 1, 0);
  const HWND confirm =
      AddControl(window, 0, L"BUTTON", Text(kTextPasswordConfirm), WS_TABSTOP | BS_DEFPUSHBUTTON,
                 {170, 92, 90, 30}, kPasswordConfirmId);
  const HWND cancel = AddControl(window, 0, L"BUTTON", Text(kTextCancel),
                                 WS_TABSTOP | BS_PUSHBUTTON, {270, 92, 80, 30}, kPasswordCancelId);
  for (const HWND control : {prompt.edit, confirm, cancel})
    SendMessageW(control, WM_SETFONT, font, TRUE);
  SetFocus(prompt.edit);
}

// The loop waits in GetMessageW; an answer that arrived as a message sent
// from another thread or process does not wake it by itself, so a posted
// no-op makes it look at "done" once more.
void FinishPrompt(HWND window, PasswordPrompt& prompt, bool accepted) {
  prompt.accepted = accepted;
  prompt.done = true;
  PostMessageW(window, WM_NULL, 0, 0);
}

LRESULT CALLBACK PasswordWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE: {
      const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
      break;
    }
    case WM_CREATE:
      BuildPasswordControls(window, *PromptOf(window));
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      if (id != kPasswordConfirmId && id != kPasswordCancelId) break;
      FinishPrompt(window, *PromptOf(window), id == kPasswordConfirmId);
      return 0;
    }
    case WM_CLOSE:
      // Closing counts as Cancel; the caller destroys the window.
      FinishPrompt(window, *PromptOf(window), false);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void RegisterPasswordClass() {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = PasswordWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kPasswordWindowClass;
  // Fails harmlessly once the class exists.
  RegisterClassExW(&window_class);
}

// A quit message ends the prompt too, and is put back for the program's
// own loop, which must end as well.
void RunPromptLoop(HWND prompt_window, const PasswordPrompt& prompt) {
  MSG message;
  while (!prompt.done) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    if (IsDialogMessageW(prompt_window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

PromptAnswer AskPassword(HWND owner, std::wstring& password) {
  RegisterPasswordClass();
  RECT owner_rect{};
  GetWindowRect(owner, &owner_rect);
  PasswordPrompt prompt;
  const HWND window =
      CreateWindowExW(WS_EX_DLGMODALFRAME, kPasswordWindowClass, Text(kTextTitle),
                      WS_POPUP | WS_CAPTION | WS_SYSMENU, owner_rect.left + kPromptOffsetX,
                      owner_rect.top + kPromptOffsetY, kPromptWidth, kPromptHeight, owner, nullptr,
                      GetModuleHandleW(nullptr), &prompt);
  if (!window) return PromptAnswer::Cancel;

  EnableWindow(owner, FALSE);
  ShowWindow(window, SW_SHOW);
  SetFocus(prompt.edit);
  RunPromptLoop(window, prompt);

  if (prompt.accepted) {
    password.assign(kPasswordUnits, L'\0');
    const int length = GetWindowTextW(prompt.edit, password.data(), kPasswordUnits);
    password.resize(static_cast<size_t>(std::max(length, 0)));
  }
  DestroyWindow(window);
  EnableWindow(owner, TRUE);
  SetForegroundWindow(owner);
  return prompt.accepted ? PromptAnswer::PasswordGiven : PromptAnswer::Cancel;
}

PromptAnswer AskConflict(HWND owner, const std::wstring& existing_path) {
  const TASKDIALOG_BUTTON buttons[] = {
      {kConflictSkipId, Text(kTextConflictSkip)},
      {kConflictKeepBothId, Text(kTextConflictKeepBoth)},
      {kConflictReplaceId, Text(kTextConflictReplace)},
  };
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof(config);
  config.hwndParent = owner;
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_SIZE_TO_CONTENT;
  config.dwCommonButtons = TDCBF_CANCEL_BUTTON;
  config.pszWindowTitle = Text(kTextTitle);
  config.pszMainInstruction = Text(kTextConflictInstruction);
  config.pszContent = existing_path.c_str();
  config.cButtons = ARRAYSIZE(buttons);
  config.pButtons = buttons;
  config.nDefaultButton = kConflictSkipId;
  int pressed = 0;
  if (FAILED(TaskDialogIndirect(&config, &pressed, nullptr, nullptr))) return PromptAnswer::Cancel;
  switch (pressed) {
    case kConflictSkipId:
      return PromptAnswer::Skip;
    case kConflictKeepBothId:
      return PromptAnswer::KeepBoth;
    case kConflictReplaceId:
      return PromptAnswer::Replace;
    default:
      return PromptAnswer::Cancel;
  }
}

}  // namespace cindral
