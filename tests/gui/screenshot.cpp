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
  RECT bounds;
  if (!GetWindowRect(window, &bounds)) throw std::runtime_error("no window to capture");
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
