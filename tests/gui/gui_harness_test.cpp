// The virtual display itself: a window a test shows is on the screen with the
// colours it painted, and a screenshot of it can be saved. Every GUI test
// relies on this.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/win_owners.h"
#include "tests/gui/screenshot.h"

namespace cindral::testing {
namespace {

constexpr COLORREF kPainted = RGB(0x0D, 0x11, 0x15);

LRESULT CALLBACK PaintedWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_PAINT) return DefWindowProcW(window, message, wparam, lparam);
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(window, &paint);
  const UniqueGdiObject<HBRUSH> brush(CreateSolidBrush(kPainted));
  FillRect(dc, &paint.rcPaint, brush.Get());
  EndPaint(window, &paint);
  return 0;
}

TEST(GuiHarnessTest, ShownWindowIsOnTheScreenAndCaptured) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = PaintedWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"Cindral.HarnessProbe";
  ASSERT_NE(RegisterClassW(&window_class), 0);
  const HWND window =
      CreateWindowExW(0, window_class.lpszClassName, L"probe", WS_OVERLAPPEDWINDOW, 100, 100, 320,
                      200, nullptr, nullptr, window_class.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  PumpMessagesFor(300);

  EXPECT_EQ(ReadClientColour(window, POINT{150, 90}), 0x0D1115u);
  const std::wstring path = SaveWindowScreenshot(window, L"harness-probe");
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  DestroyWindow(window);
}

}  // namespace
}  // namespace cindral::testing
