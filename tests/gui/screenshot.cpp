#include "tests/gui/screenshot.h"

#include <objidl.h>
// GDI+ needs the OLE base types first.
#include <gdiplus.h>

#include <stdexcept>

#include "common/file_system.h"
#include "common/win_owners.h"

namespace cindral::testing {
namespace {

unsigned FromColorRef(COLORREF colour) {
  return (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
}

// The encoder id GDI+ documents for "image/png".
constexpr CLSID kPngEncoder = {
    0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

struct ScreenDcTraits {
  using Value = HDC;
  static constexpr HDC Empty() { return nullptr; }
  static bool IsValid(HDC dc) { return dc != nullptr; }
  static void Close(HDC dc) { ReleaseDC(nullptr, dc); }
};
using ScreenDc = UniqueResource<ScreenDcTraits>;
using MemoryDc = UniqueResource<PointerTraits<HDC, DeleteDC>>;

class GdiplusSession {
 public:
  GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok)
      throw std::runtime_error("GDI+ did not start");
  }
  ~GdiplusSession() { Gdiplus::GdiplusShutdown(token_); }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;

 private:
  ULONG_PTR token_ = 0;
};

std::wstring ScreenshotFolder() {
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring folder(module);
  folder.erase(folder.find_last_of(L'\\') + 1);
  folder += L"screenshots";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

}  // namespace

unsigned ReadScreenColour(POINT point) {
  const ScreenDc screen(GetDC(nullptr));
  return FromColorRef(GetPixel(screen.Get(), point.x, point.y));
}

unsigned ReadClientColour(HWND window, POINT client_point) {
  ClientToScreen(window, &client_point);
  return ReadScreenColour(client_point);
}

std::wstring SaveWindowScreenshot(HWND window, const std::wstring& name) {
  RECT window_bounds;
  if (!GetWindowRect(window, &window_bounds)) throw std::runtime_error("no window to capture");
  // A maximised window's frame reaches past the screen's edges, and a copy
  // from outside the screen comes back black under Wine: keep to the screen.
  const RECT screen_bounds{
      GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
      GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
      GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  RECT bounds;
  if (!IntersectRect(&bounds, &window_bounds, &screen_bounds))
    throw std::runtime_error("window is off the screen");
  const int width = bounds.right - bounds.left;
  const int height = bounds.bottom - bounds.top;

  const ScreenDc screen(GetDC(nullptr));
  const MemoryDc memory(CreateCompatibleDC(screen.Get()));
  const UniqueGdiObject<HBITMAP> bitmap(CreateCompatibleBitmap(screen.Get(), width, height));
  const HGDIOBJ previous = SelectObject(memory.Get(), bitmap.Get());
  BitBlt(memory.Get(), 0, 0, width, height, screen.Get(), bounds.left, bounds.top, SRCCOPY);
  SelectObject(memory.Get(), previous);

  const GdiplusSession gdiplus;
  Gdiplus::Bitmap image(bitmap.Get(), nullptr);
  const std::wstring path = ScreenshotFolder() + L"\\" + name + L".png";
  if (image.Save(path.c_str(), &kPngEncoder, nullptr) != Gdiplus::Ok)
    throw std::runtime_error("screenshot not saved");
  return path;
}

std::vector<HWND> VisibleWindowsOf(DWORD process_id) {
  struct Search {
    DWORD process_id;
    std::vector<HWND> found;
  } search{process_id, {}};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto& search = *reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == search.process_id && IsWindowVisible(window)) search.found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindVisibleWindow(DWORD process_id, const wchar_t* class_name) {
  for (const HWND window : VisibleWindowsOf(process_id)) {
    if (ClassName(window) == class_name) return window;
  }
  return nullptr;
}

std::wstring WindowText(HWND window) {
  std::wstring text(1024, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), 1024)));
  return text;
}

std::wstring ClassName(HWND window) {
  std::wstring name(256, L'\0');
  name.resize(static_cast<size_t>(GetClassNameW(window, name.data(), 256)));
  return name;
}

void PumpMessagesFor(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (GetTickCount64() < end) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(10);
  }
}

}  // namespace cindral::testing
