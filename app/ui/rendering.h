// Painting of the main window and its buttons with GDI+ through one back
// buffer, in logical units scaled by the DPI and the maximised zoom.
#pragma once

#include <windows.h>
// GDI+ needs the COM base types that the lean windows.h leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/layout.h"

namespace cindral {

enum class FontWeight { kRegular, kBold };
enum class TextAlign { kNear = 0, kCentre = 1, kFar = 2 };

// Everything the window painter shows, gathered by the window for one paint.
struct WindowPicture {
  float scale;  // DPI scale times the maximised zoom
  bool maximised;
  bool busy;
  bool failed;  // the last run failed and "Try again" is offered
  bool pack;
  double progress;
  const std::wstring& status;
  const std::vector<std::wstring>& inputs;
  HICON icon;
};

// One line of text in a box, vertically centred, cut with an ellipsis and
// never wrapped; the size is in pixels before the world transform.
void DrawLabel(Gdiplus::Graphics& graphics, std::wstring_view text, const LogicalRect& box,
               float size, uint32_t colour, FontWeight weight, TextAlign align);

// A rounded rectangle as a closed figure; a plain one when the radius is 0.
void AddRoundedRect(Gdiplus::GraphicsPath& path, const LogicalRect& box, float radius);
void FillRoundedRect(Gdiplus::Graphics& graphics, const Gdiplus::Brush& brush,
                     const LogicalRect& box, float radius);
void FillRoundedRect(Gdiplus::Graphics& graphics, uint32_t colour, const LogicalRect& box,
                     float radius);

// The gradient of every load bar: accent up to 55%, amber at 80%, red at the
// end, running from `start` to `end`.
void FillWithLoadGradient(Gdiplus::Graphics& graphics, const LogicalRect& box, float radius,
                          Gdiplus::Point start, Gdiplus::Point end);

void PaintMainWindow(HWND window, const WindowPicture& picture);
void PaintButton(const DRAWITEMSTRUCT& item, float scale, bool maximised);
void ReleaseBackBuffer();
// The fonts live until the program ends; the entry frees them before GDI+
// shuts down.
void ReleaseFonts();

// The text family in use: "Segoe UI", or a sans-serif family that exists.
std::wstring TextFamilyName();

}  // namespace cindral
