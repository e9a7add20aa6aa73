// The window's arithmetic: grid, zoom, button places, colours and motion.
#include "app/ui/layout.h"

#include <gtest/gtest.h>

namespace cindral {
namespace {

struct GridCase {
  size_t processors;
  int columns;
  float row_pitch;
  bool compact;
  int start_height;
};

TEST(LayoutTest, RestoredGridAndStartHeightFollowTheProcessorCount) {
  const GridCase cases[] = {
      {1, 1, 38, false, 38},   {8, 8, 38, false, 38},   {16, 8, 38, false, 76},
      {65, 16, 38, true, 190}, {96, 16, 38, true, 228}, {512, 32, 20, true, 320},
      {2, 2, 38, false, 38},
  };
  for (const GridCase& c : cases) {
    SCOPED_TRACE(c.processors);
    const MeterGrid grid = LayoutMeterGrid(c.processors, 560, 0, WindowZoom::kRestored);
    EXPECT_EQ(grid.columns, c.columns);
    EXPECT_FLOAT_EQ(grid.row_pitch, c.row_pitch);
    EXPECT_EQ(grid.compact, c.compact);
    EXPECT_FLOAT_EQ(grid.gap, c.compact ? 3.0f : 6.0f);
    EXPECT_EQ(StartGridHeight(c.processors), c.start_height);
  }
  // No processor reported still lays out one cell.
  EXPECT_EQ(LayoutMeterGrid(0, 560, 0, WindowZoom::kRestored).columns, 1);
}

TEST(LayoutTest, MaximisedGridFillsTheAvailableHeight) {
  // 504 units hold 7 cells of 72 per row: 2 rows, spread as 4 columns.
  MeterGrid grid = LayoutMeterGrid(8, 560, 600, WindowZoom::kMaximised);
  EXPECT_EQ(grid.columns, 4);
  EXPECT_FLOAT_EQ(grid.row_pitch, 140);
  EXPECT_FALSE(grid.compact);

  // Ten rows of 40 do not fit into 100: cells narrow to 30 units, 16 a row.
  grid = LayoutMeterGrid(64, 560, 100, WindowZoom::kMaximised);
  EXPECT_EQ(grid.columns, 16);
  EXPECT_FLOAT_EQ(grid.row_pitch, 25);
  EXPECT_TRUE(grid.compact);

  // A row pitch never drops below 14 however many rows there are.
  grid = LayoutMeterGrid(512, 560, 100, WindowZoom::kMaximised);
  EXPECT_FLOAT_EQ(grid.row_pitch, 14);
}

TEST(LayoutTest, CellsAreLaidOutRowByRowFromTheGridTop) {
  const MeterGrid grid = LayoutMeterGrid(16, 560, 0, WindowZoom::kRestored);
  const LogicalRect first = MeterCellRect(0, grid, 560);
  EXPECT_FLOAT_EQ(first.x, 28);
  EXPECT_FLOAT_EQ(first.y, 370);
  EXPECT_FLOAT_EQ(first.width, (504.0f - 42.0f) / 8.0f);
  EXPECT_FLOAT_EQ(first.height, 32);
  const LogicalRect ninth = MeterCellRect(8, grid, 560);
  EXPECT_FLOAT_EQ(ninth.x, 28);
  EXPECT_FLOAT_EQ(ninth.y, 408);
  const LogicalRect last = MeterCellRect(15, grid, 560);
  EXPECT_FLOAT_EQ(last.x + last.width, 532);
}

TEST(LayoutTest, WindowSizeAtStartGrowsWithProcessorsAndDpi) {
  EXPECT_EQ(StartWindowSize(8, 1.0f).width, 560);
  EXPECT_EQ(StartWindowSize(8, 1.0f).height, 592);
  EXPECT_EQ(StartWindowSize(16, 1.5f).width, 840);
  EXPECT_EQ(StartWindowSize(16, 1.5f).height, 945);
  EXPECT_EQ(StartWindowSize(512, 1.0f).height, 874);
}

TEST(LayoutTest, MaximisedZoomIsBoundedByBothSidesAndClamped) {
  EXPECT_FLOAT_EQ(LayoutScale(WindowZoom::kMaximised, 2560, 1440, 1.0f, 598), 1.6f);
  EXPECT_FLOAT_EQ(LayoutScale(WindowZoom::kMaximised, 1120, 1000, 1.0f, 598), 1000.0f / 748.0f);
  EXPECT_FLOAT_EQ(LayoutScale(WindowZoom::kMaximised, 1500, 900, 1.25f, 598), 1.0f);
  EXPECT_FLOAT_EQ(LayoutScale(WindowZoom::kMaximised, 1500, 1000, 1.25f, 598), 800.0f / 748.0f);
  EXPECT_FLOAT_EQ(LayoutScale(WindowZoom::kMaximised, 400, 300, 1.0f, 598), 1.0f);
  EXPECT_FLOAT_EQ(LayoutScale(WindowZoom::kRestored, 2560, 1440, 1.0f, 598), 1.0f);
}

TEST(LayoutTest, ButtonsArePlacedFromTheLogicalSizeAndScaled) {
  const LogicalSize logical = LogicalClientSize(560, 560, 1.0f);
  const auto boxes = PlaceButtons(logical, 1.0f);
  EXPECT_EQ(boxes[0].x, 28);
  EXPECT_EQ(boxes[0].y, 452);
  EXPECT_EQ(boxes[0].width, 504);
  EXPECT_EQ(boxes[0].height, 56);
  EXPECT_EQ(boxes[1].x, 435);
  EXPECT_EQ(boxes[1].y, 403);
  EXPECT_EQ(boxes[2].x, 421);
  EXPECT_EQ(boxes[3].x, 383);
  EXPECT_EQ(boxes[3].width, 32);

  // At 144 DPI every number is multiplied by 1.5 and truncated.
  const LogicalSize scaled = LogicalClientSize(841, 841, 1.5f);
  EXPECT_EQ(scaled.width, 560);
  const auto big = PlaceButtons(scaled, 1.5f);
  EXPECT_EQ(big[0].x, 42);
  EXPECT_EQ(big[0].height, 84);
  EXPECT_EQ(big[3].x, 574);
  EXPECT_EQ(big[2].y, 39);
}

TEST(LayoutTest, MeterBandAndProgressBar) {
  const PixelRect band = MeterBand(PixelRect{0, 0, 560, 598}, 1.5f);
  EXPECT_EQ(band.top, 502);
  EXPECT_EQ(band.bottom, 598 - 247);
  EXPECT_EQ(band.right, 560);

  EXPECT_FLOAT_EQ(ProgressBarWidth(0, 560), 0);
  EXPECT_FLOAT_EQ(ProgressGlowWidth(0, 560), 0);
  EXPECT_FLOAT_EQ(ProgressBarWidth(0.3, 560), 5);
  EXPECT_NEAR(ProgressGlowWidth(0.3, 560), 1.512f, 1e-4);
  EXPECT_FLOAT_EQ(ProgressBarWidth(50, 560), 252);
  EXPECT_FLOAT_EQ(ProgressBarWidth(100, 560), 504);
}

TEST(LayoutTest, LoadColourRunsFromAccentThroughAmberToRed) {
  EXPECT_EQ(LoadColour(67.5, 255), 0xFFCDE11Cu);
  EXPECT_EQ(LoadColour(0, 255), palette::kAccent);
  EXPECT_EQ(LoadColour(54.9, 30), 0x1E9CFF38u);
  EXPECT_EQ(LoadColour(80, 255), palette::kAmber);
  EXPECT_EQ(LoadColour(90, 46), 0x2EFF8C20u);
  EXPECT_EQ(LoadColour(100, 255), palette::kRed);
  EXPECT_EQ(LoadColour(140, 255), palette::kRed);
}

TEST(LayoutTest, AnimationGlidesTowardsTheSampleAndThePeakFallsSlowly) {
  MeterLoad load;
  EXPECT_EQ(AnimateMeterLoad(load), Motion::kSettled);
  EXPECT_EQ(load.shown, 0);

  load.sampled = LimitLoad(100.4);
  EXPECT_EQ(load.sampled, 100);
  EXPECT_EQ(AnimateMeterLoad(load), Motion::kMoving);
  EXPECT_NEAR(load.shown, 22, 1e-9);
  EXPECT_EQ(load.peak, load.shown);
  AnimateMeterLoad(load);
  EXPECT_NEAR(load.shown, 39.16, 1e-9);

  load.sampled = LimitLoad(-2);
  const double peak = load.peak;
  AnimateMeterLoad(load);
  EXPECT_NEAR(load.peak, peak - 0.5, 1e-9);
  AnimateMeterLoad(load);
  EXPECT_NEAR(load.peak, peak - 1.0, 1e-9);

  // Once shown and peak are home, the step asks for no repaint.
  for (int step = 0; step < 200; ++step) AnimateMeterLoad(load);
  EXPECT_EQ(AnimateMeterLoad(load), Motion::kSettled);
  EXPECT_LT(load.shown, 0.4);
}

TEST(LayoutTest, LoadFromProcessorTimes) {
  EXPECT_DOUBLE_EQ(LoadBetween({100, 1000}, {150, 1100}), 50);
  EXPECT_DOUBLE_EQ(LoadBetween({100, 1000}, {200, 1100}), 0);
  // Counters that did not move, or went backwards, read as idle.
  EXPECT_DOUBLE_EQ(LoadBetween({100, 1000}, {100, 1000}), 0);
  EXPECT_DOUBLE_EQ(LoadBetween({100, 1000}, {100, 900}), 0);
  EXPECT_DOUBLE_EQ(LoadBetween({100, 1000}, {90, 1100}), 100);
}

}  // namespace
}  // namespace cindral
