// Built as SystemSettings.exe and registered as the handler of "ms-settings:"
// addresses in the GUI test prefix, where no Settings application exists.
// Arguments: a record folder, "window" or "none", and the address. It writes
// "opened.txt" (the address), and with a window "shown.txt" and, when asked
// to close, "closed.txt", each holding the tick count of the moment.
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/win_owners.h"

namespace {

std::filesystem::path record_folder;

// Written beside and renamed, so the test never reads half a file.
void Record(const wchar_t* name, const std::wstring& text) {
  const std::filesystem::path target = record_folder / name;
  std::filesystem::path partial = target;
  partial += L".tmp";
  {
    std::wofstream stream(partial);
    stream << text;
  }
  std::filesystem::rename(partial, target);
}

LRESULT CALLBACK SettingsProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      Record(L"closed.txt", std::to_wstring(GetTickCount64()));
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

int wmain() {
  int count = 0;
  cindral::LocalMemory<LPWSTR> arguments(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!arguments || count < 4) return 2;
  record_folder = arguments.Get()[1];
  Record(L"opened.txt", arguments.Get()[3]);
  if (std::wstring(arguments.Get()[2]) != L"window") return 0;

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = SettingsProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hbrBackground = CreateSolidBrush(RGB(0x20, 0x60, 0xA0));
  window_class.lpszClassName = L"Cindral.TestSettings";
  RegisterClassW(&window_class);
  const HWND window =
      CreateWindowExW(0, window_class.lpszClassName, L"Settings", WS_OVERLAPPEDWINDOW, 40, 40, 480,
                      320, nullptr, nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) return 3;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  Record(L"shown.txt", std::to_wstring(GetTickCount64()));

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
