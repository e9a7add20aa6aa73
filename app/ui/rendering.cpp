#include "app/ui/rendering.h"

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "app/ui/processor_meter.h"
#include "app/ui/texts.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

using Gdiplus::Graphics;
using UniqueMemoryDc = UniqueResource<PointerTraits<HDC, DeleteDC>>;

struct BackBuffer {
  UniqueMemoryDc dc;
  UniqueGdiObject<HBITMAP> bitmap;
  HGDIOBJ replaced = nullptr;
  SIZE size{0, 0};
};

BackBuffer& TheBackBuffer() {
  static BackBuffer buffer;
  return buffer;
}

struct Fonts {
  std::unique_ptr<Gdiplus::FontFamily> family;
  std::map<std::pair<int, bool>, std::unique_ptr<Gdiplus::Font>> cache;
};

Fonts& TheFonts() {
  static Fonts fonts;
  return fonts;
}

std::unique_ptr<Gdiplus::FontFamily> MakeFamily(const wchar_t* name) {
  auto family = std::make_unique<Gdiplus::FontFamily>(name);
  if (family->GetLastStatus() != Gdiplus::Ok) return nullptr;
  return family;
}

// A machine without "Segoe UI" still gets text: the generic sans-serif
// family, or else an installed family, a sans-serif one when there is one.
std::unique_ptr<Gdiplus::FontFamily> MakeFallbackFamily() {
  const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
  if (generic && generic->IsAvailable())
    return std::unique_ptr<Gdiplus::FontFamily>(generic->Clone());
  Gdiplus::InstalledFontCollection installed;
  const INT count = installed.GetFamilyCount();
  if (count <= 0) return nullptr;
  std::vector<Gdiplus::FontFamily> families(static_cast<size_t>(count));
  INT found = 0;
  installed.GetFamilies(count, families.data(), &found);
  std::wstring chosen;
  for (INT index = 0; index < found; ++index) {
    WCHAR name[LF_FACESIZE] = {};
    families[static_cast<size_t>(index)].GetFamilyName(name);
    const std::wstring_view view(name);
    if (chosen.empty()) chosen = name;
    if (view.find(L"Sans") != std::wstring_view::npos &&
        view.find(L"Mono") == std::wstring_view::npos) {
      chosen = name;
      break;
    }
  }
  return chosen.empty() ? nullptr : MakeFamily(chosen.c_str());
}

Gdiplus::FontFamily* TextFamily() {
  Fonts& fonts = TheFonts();
  if (!fonts.family) fonts.family = MakeFamily(L"Segoe UI");
  if (!fonts.family) fonts.family = MakeFallbackFamily();
  return fonts.family.get();
}

Gdiplus::Font* CachedFont(float size, FontWeight weight) {
  const bool bold = weight == FontWeight::kBold;
  auto& slot = TheFonts().cache[{static_cast<int>(size * 10), bold}];
  if (!slot) {
    Gdiplus::FontFamily* family = TextFamily();
    if (!family) return nullptr;
    slot = std::make_unique<Gdiplus::Font>(
        family, size, bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular,
        Gdiplus::UnitPixel);
  }
  return slot.get();
}

Gdiplus::RectF ToRectF(const LogicalRect& box) {
  return Gdiplus::RectF(box.x, box.y, box.width, box.height);
}

std::wstring Percent(double value) { return std::to_wstring(static_cast<int32_t>(value)) + L"%"; }

void CreateBackBuffer(HDC paint_dc, SIZE size) {
  BackBuffer& buffer = TheBackBuffer();
  buffer.dc.Reset(CreateCompatibleDC(paint_dc));
  buffer.bitmap.Reset(CreateCompatibleBitmap(paint_dc, size.cx, size.cy));
  buffer.replaced = SelectObject(buffer.dc.Get(), buffer.bitmap.Get());
  buffer.size = size;
}

void PaintHeader(Graphics& graphics, const WindowPicture& picture, float width) {
  DrawLabel(graphics, Text(kTextTitle), {77, 18, 200, 29}, 23, palette::kText, FontWeight::kBold,
            TextAlign::kNear);
  DrawLabel(graphics, Text(kTextSubtitle), {78, 45, 160, 18}, 11, palette::kMutedText,
            FontWeight::kRegular, TextAlign::kNear);
  DrawLabel(graphics, Text(kTextTagline), {28, 90, width - 56, 24}, 12, palette::kAccent,
            FontWeight::kBold, TextAlign::kNear);
  const TextPair& headline = !picture.busy  ? kTextHeadlineIdle
                             : picture.pack ? kTextHeadlinePacking
                                            : kTextHeadlineExtracting;
  DrawLabel(graphics, Text(headline), {26, 121, width - 52, 49}, 34, palette::kText,
            FontWeight::kBold, TextAlign::kNear);
}

void PaintDropZoneAndProgress(Graphics& graphics, const WindowPicture& picture, float width) {
  FillRoundedRect(graphics, palette::kPanel, {28, 187, width - 56, 58}, 10);
  DrawLabel(graphics, DropZoneText(picture.inputs), {44, 193, width - 88, 26}, 15, palette::kText,
            FontWeight::kBold, TextAlign::kNear);
  // After a failure the status line keeps the hint the run left for "Try
  // again"; otherwise an idle window shows the promise about the files.
  const bool reporting = picture.busy || picture.failed;
  const std::wstring status = reporting ? picture.status : Text(kTextStatusIdle);
  DrawLabel(graphics, status, {44, 219, width - 88, 18}, 11, palette::kMutedText,
            FontWeight::kRegular, TextAlign::kNear);

  const TextPair& phase = !picture.busy  ? kTextPhaseIdle
                          : picture.pack ? kTextPhasePacking
                                         : kTextPhaseExtracting;
  DrawLabel(graphics, Text(phase), {29, 270, 300, 25}, 11, palette::kMutedText, FontWeight::kBold,
            TextAlign::kNear);
  DrawLabel(graphics, Percent(picture.progress), {width - 115, 258, 85, 40}, 29,
            picture.busy ? palette::kAccent : palette::kMutedText, FontWeight::kBold,
            TextAlign::kFar);
  FillRoundedRect(graphics, palette::kTrack, {28, 306, width - 56, 10}, 5);
  if (picture.progress > 0) {
    FillRoundedRect(graphics, palette::kProgressGlow,
                    {28, 302, ProgressGlowWidth(picture.progress, width), 18}, 6);
    FillRoundedRect(graphics, palette::kAccent,
                    {28, 306, ProgressBarWidth(picture.progress, width), 10}, 5);
  }
}

void PaintMeter(Graphics& graphics, const WindowPicture& picture, float width, float height) {
  DrawLabel(graphics, Text(kTextCpuCaption), {28, 339, 330, 20}, 11, palette::kMutedText,
            FontWeight::kBold, TextAlign::kNear);
  DrawLabel(graphics, Percent(MeterAverageLoad()), {width - 98, 339, 70, 20}, 13, palette::kAccent,
            FontWeight::kBold, TextAlign::kFar);
  const size_t count = MeterEntryCount();
  const MeterGrid grid =
      LayoutMeterGrid(count, width, height - kMeterTop - kMeterBottomMargin,
                      picture.maximised ? WindowZoom::kMaximised : WindowZoom::kRestored);
  for (size_t index = 0; index < count; ++index) {
    PaintMeterCell(graphics, index, MeterCellRect(index, grid, width), grid.compact);
  }
  DrawLabel(graphics, CoresAvailableText(count), {28, height - 34, width - 236, 20}, 11,
            palette::kMutedText, FontWeight::kRegular, TextAlign::kNear);
  DrawLabel(graphics, Text(picture.maximised ? kTextHintWindow : kTextHintFullScreen),
            {width - 208, height - 34, 180, 20}, 11, palette::kMutedText, FontWeight::kRegular,
            TextAlign::kFar);
}

// Without an icon font the maximise glyph is drawn: one square to enlarge,
// two overlapping ones to go back to the window.
void DrawMaximiseShapes(Graphics& graphics, float w, float h, bool maximised) {
  const Gdiplus::Pen pen(Gdiplus::Color(palette::kText), 1.2f);
  const float side = maximised ? 8.0f : 10.0f;
  const float x = (w - side) / 2;
  const float y = (h - side) / 2;
  if (!maximised) {
    graphics.DrawRectangle(&pen, x, y, side, side);
    return;
  }
  graphics.DrawRectangle(&pen, x - 1.5f, y + 1.5f, side, side);
  graphics.DrawLine(&pen, x + 1.5f, y - 1.5f, x + side + 1.5f, y - 1.5f);
  graphics.DrawLine(&pen, x + side + 1.5f, y - 1.5f, x + side + 1.5f, y + side - 1.5f);
}

void DrawMaximiseGlyph(Graphics& graphics, float w, float h, bool maximised) {
  std::unique_ptr<Gdiplus::FontFamily> family = MakeFamily(L"Segoe Fluent Icons");
  if (!family) family = MakeFamily(L"Segoe MDL2 Assets");
  if (!family) {
    DrawMaximiseShapes(graphics, w, h, maximised);
    return;
  }
  const Gdiplus::Font font(family.get(), 13, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
  Gdiplus::StringFormat format;
  format.SetAlignment(Gdiplus::StringAlignmentCenter);
  format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
  const Gdiplus::SolidBrush brush(Gdiplus::Color(palette::kText));
  const wchar_t glyph[2] = {maximised ? L'\uE73F' : L'\uE740', 0};
  graphics.DrawString(glyph, 1, &font, Gdiplus::RectF(0, 0, w, h), &format, &brush);
}

}  // namespace

void DrawLabel(Graphics& graphics, std::wstring_view text, const LogicalRect& box, float size,
               uint32_t colour, FontWeight weight, TextAlign align) {
  Gdiplus::Font* font = CachedFont(size, weight);
  if (!font) return;
  Gdiplus::StringFormat format;
  format.SetAlignment(static_cast<Gdiplus::StringAlignment>(align));
  format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  const Gdiplus::SolidBrush brush((Gdiplus::Color(colour)));
  graphics.DrawString(text.data(), static_cast<INT>(text.size()), font, ToRectF(box), &format,
                      &brush);
}

void AddRoundedRect(Gdiplus::GraphicsPath& path, const LogicalRect& box, float radius) {
  const float diameter = 2 * std::min({radius, box.width / 2, box.height / 2});
  if (diameter <= 0) {
    path.AddRectangle(ToRectF(box));
    return;
  }
  const float right = box.x + box.width - diameter;
  const float bottom = box.y + box.height - diameter;
  path.AddArc(box.x, box.y, diameter, diameter, 180, 90);
  path.AddArc(right, box.y, diameter, diameter, 270, 90);
  path.AddArc(right, bottom, diameter, diameter, 0, 90);
  path.AddArc(box.x, bottom, diameter, diameter, 90, 90);
  path.CloseFigure();
}

void FillRoundedRect(Graphics& graphics, const Gdiplus::Brush& brush, const LogicalRect& box,
                     float radius) {
  Gdiplus::GraphicsPath path;
  AddRoundedRect(path, box, radius);
  graphics.FillPath(&brush, &path);
}

void FillRoundedRect(Graphics& graphics, uint32_t colour, const LogicalRect& box, float radius) {
  const Gdiplus::SolidBrush brush((Gdiplus::Color(colour)));
  FillRoundedRect(graphics, brush, box, radius);
}

void FillWithLoadGradient(Graphics& graphics, const LogicalRect& box, float radius,
                          Gdiplus::Point start, Gdiplus::Point end) {
  Gdiplus::LinearGradientBrush brush(start, end, Gdiplus::Color(palette::kAccent),
                                     Gdiplus::Color(palette::kRed));
  const Gdiplus::Color colours[] = {Gdiplus::Color(palette::kAccent),
                                    Gdiplus::Color(palette::kAccent),
                                    Gdiplus::Color(palette::kAmber), Gdiplus::Color(palette::kRed)};
  const Gdiplus::REAL positions[] = {0.0f, 0.55f, 0.8f, 1.0f};
  brush.SetInterpolationColors(colours, positions, 4);
  FillRoundedRect(graphics, brush, box, radius);
}

void PaintMainWindow(HWND window, const WindowPicture& picture) {
  PAINTSTRUCT paint;
  const HDC paint_dc = BeginPaint(window, &paint);
  RECT client{};
  GetClientRect(window, &client);
  const SIZE size{client.right - client.left, client.bottom - client.top};
  if (size.cx <= 0 || size.cy <= 0) {
    EndPaint(window, &paint);
    return;
  }
  BackBuffer& buffer = TheBackBuffer();
  if (size.cx != buffer.size.cx || size.cy != buffer.size.cy) {
    ReleaseBackBuffer();
    CreateBackBuffer(paint_dc, size);
  }
  const float scale = picture.scale;
  const RECT& dirty = paint.rcPaint;
  {
    Graphics graphics(buffer.dc.Get());
    graphics.SetClip(
        Gdiplus::Rect(dirty.left, dirty.top, dirty.right - dirty.left, dirty.bottom - dirty.top));
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    graphics.Clear(Gdiplus::Color(palette::kBackground));
    graphics.ScaleTransform(scale, scale);
    const float width = static_cast<float>(size.cx) / scale;
    const float height = static_cast<float>(static_cast<int>(static_cast<float>(size.cy) / scale));
    PaintHeader(graphics, picture, width);
    PaintDropZoneAndProgress(graphics, picture, width);
    PaintMeter(graphics, picture, width, height);
  }
  // GDI draws the icon with its alpha channel intact, which a GDI+ bitmap
  // made from an icon loses.
  if (picture.icon) {
    const auto at = [scale](float value) { return static_cast<int>(value * scale); };
    DrawIconEx(buffer.dc.Get(), at(27), at(22), picture.icon, at(39), at(39), 0, nullptr,
               DI_NORMAL);
  }
  BitBlt(paint_dc, dirty.left, dirty.top, dirty.right - dirty.left, dirty.bottom - dirty.top,
         buffer.dc.Get(), dirty.left, dirty.top, SRCCOPY);
  EndPaint(window, &paint);
}

void PaintButton(const DRAWITEMSTRUCT& item, float scale, bool maximised) {
  Graphics graphics(item.hDC);
  graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
  graphics.Clear(Gdiplus::Color(palette::kBackground));
  graphics.ScaleTransform(scale, scale);
  const float w = static_cast<float>(item.rcItem.right - item.rcItem.left) / scale;
  const float h = static_cast<float>(item.rcItem.bottom - item.rcItem.top) / scale;
  const LogicalRect whole{0, 0, w, h};
  const bool main_button = item.CtlID == 1;
  if (main_button) {
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    FillRoundedRect(graphics, disabled ? palette::kTrack : palette::kAccent, whole, 9);
  } else {
    FillRoundedRect(graphics, palette::kPanel, whole, 5);
  }
  if (item.CtlID == 4) {
    DrawMaximiseGlyph(graphics, w, h, maximised);
  } else {
    wchar_t caption[128] = {};
    GetWindowTextW(item.hwndItem, caption, 128);
    if (main_button) {
      DrawLabel(graphics, caption, whole, 20, palette::kBackground, FontWeight::kBold,
                TextAlign::kCentre);
    } else {
      DrawLabel(graphics, caption, whole, 12, palette::kText, FontWeight::kRegular,
                TextAlign::kCentre);
    }
  }
  if (item.itemState & ODS_FOCUS) {
    const Gdiplus::Pen pen(Gdiplus::Color(palette::kText), 1);
    graphics.DrawRectangle(&pen, 3.0f, 3.0f, w - 7, h - 7);
  }
}

void ReleaseBackBuffer() {
  BackBuffer& buffer = TheBackBuffer();
  if (buffer.dc && buffer.replaced) SelectObject(buffer.dc.Get(), buffer.replaced);
  buffer.replaced = nullptr;
  buffer.bitmap.Reset();
  buffer.dc.Reset();
  buffer.size = SIZE{0, 0};
}

void ReleaseFonts() {
  Fonts& fonts = TheFonts();
  fonts.cache.clear();
  fonts.family.reset();
}

std::wstring TextFamilyName() {
  Gdiplus::FontFamily* family = TextFamily();
  if (!family) return {};
  WCHAR name[LF_FACESIZE] = {};
  family->GetFamilyName(name);
  return name;
}

}  // namespace cindral
