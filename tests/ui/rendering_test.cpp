// Painting primitives and the processor meter in this process, without the
// window: labels must appear whatever fonts the machine has, rounded
// rectangles keep their corners clear, and the meter counts and samples
// every processor.
#include "app/ui/rendering.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/ui/processor_meter.h"

namespace cindral {
namespace {

class GdiplusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
  }
  static void TearDownTestSuite() {
    ReleaseFonts();
    Gdiplus::GdiplusShutdown(token_);
  }

  // Counts the pixels of the bitmap that differ from the given colour.
  static int PixelsOtherThan(Gdiplus::Bitmap& bitmap, uint32_t argb) {
    int count = 0;
    for (UINT y = 0; y < bitmap.GetHeight(); ++y) {
      for (UINT x = 0; x < bitmap.GetWidth(); ++x) {
        Gdiplus::Color colour;
        bitmap.GetPixel(static_cast<INT>(x), static_cast<INT>(y), &colour);
        count += colour.GetValue() != argb;
      }
    }
    return count;
  }

  static uint32_t PixelAt(Gdiplus::Bitmap& bitmap, int x, int y) {
    Gdiplus::Color colour;
    bitmap.GetPixel(x, y, &colour);
    return colour.GetValue();
  }

 private:
  static inline ULONG_PTR token_ = 0;
};

// Under Wine (outside the GUI tests' prefix) "Segoe UI" does not exist: the
// label must still be drawn, with a family that does.
TEST_F(GdiplusTest, LabelsAreDrawnEvenWithoutTheTextFamily) {
  EXPECT_FALSE(TextFamilyName().empty());
  Gdiplus::Bitmap bitmap(200, 40, PixelFormat32bppARGB);
  Gdiplus::Graphics graphics(&bitmap);
  graphics.Clear(Gdiplus::Color(palette::kBackground));
  DrawLabel(graphics, L"Vantle", {0, 0, 200, 40}, 23, palette::kText, FontWeight::kBold,
            TextAlign::kNear);
  EXPECT_GT(PixelsOtherThan(bitmap, palette::kBackground), 50);
}

TEST_F(GdiplusTest, RoundedRectangleLeavesItsCornersClear) {
  Gdiplus::Bitmap bitmap(100, 60, PixelFormat32bppARGB);
  Gdiplus::Graphics graphics(&bitmap);
  graphics.Clear(Gdiplus::Color(palette::kBackground));
  FillRoundedRect(graphics, palette::kPanel, {10, 10, 80, 40}, 10);
  EXPECT_EQ(PixelAt(bitmap, 50, 30), palette::kPanel);
  EXPECT_EQ(PixelAt(bitmap, 11, 11), palette::kBackground);
  EXPECT_EQ(PixelAt(bitmap, 88, 48), palette::kBackground);
  EXPECT_EQ(PixelAt(bitmap, 50, 11), palette::kPanel);
  // A radius of 0 is a plain rectangle: the corner is filled.
  FillRoundedRect(graphics, palette::kTrack, {10, 10, 80, 40}, 0);
  EXPECT_EQ(PixelAt(bitmap, 10, 10), palette::kTrack);
}

TEST_F(GdiplusTest, MaximiseGlyphIsDrawnWithOrWithoutAnIconFont) {
  for (const bool maximised : {false, true}) {
    SCOPED_TRACE(maximised);
    Gdiplus::Bitmap bitmap(32, 30, PixelFormat32bppARGB);
    HDC dc = nullptr;
    {
      Gdiplus::Graphics graphics(&bitmap);
      dc = graphics.GetHDC();
      DRAWITEMSTRUCT item{};
      item.CtlType = ODT_BUTTON;
      item.CtlID = 4;
      item.hDC = dc;
      item.rcItem = RECT{0, 0, 32, 30};
      PaintButton(item, 1.0f, maximised);
      graphics.ReleaseHDC(dc);
    }
    // The panel fills the button; the glyph in the text colour sits inside.
    EXPECT_EQ(PixelAt(bitmap, 3, 15) & 0xFFFFFF, palette::kPanel & 0xFFFFFF);
    int glyph = 0;
    for (int y = 8; y < 22; ++y) {
      for (int x = 8; x < 24; ++x)
        glyph += (PixelAt(bitmap, x, y) & 0xFFFFFF) != (palette::kPanel & 0xFFFFFF);
    }
    EXPECT_GT(glyph, 10);
  }
}

TEST(ProcessorMeterTest, OneEntryPerProcessorAndLoadIsSeen) {
  StartProcessorMeter();
  const DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  EXPECT_EQ(MeterEntryCount(), processors < 1 ? 1u : processors);

  // A thread that spins for the whole interval is load on some processor,
  // whichever source the meter reads (PDH, or the processor times).
  std::atomic<bool> stop{false};
  std::thread spinner([&] {
    volatile unsigned sink = 0;
    while (!stop) sink = sink + 1;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  SampleProcessorMeter();
  stop = true;
  spinner.join();
  EXPECT_GT(MeterAverageLoad(), 0.0);
  for (size_t index = 0; index < MeterEntryCount(); ++index) {
    EXPECT_GE(MeterEntryLoad(index).sampled, 0.0);
    EXPECT_LE(MeterEntryLoad(index).sampled, 100.0);
  }
  CloseProcessorMeter();
}

}  // namespace
}  // namespace cindral
