// The main window's geometry, colours and meter motion as plain arithmetic:
// everything here is decided from numbers alone, so it is tested without a
// window, and the painter and the window procedure only walk the results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace cindral {

// The content is drawn in logical units, 560 wide; the part above and below
// the processor grid is this tall.
constexpr float kBaseContentWidth = 560.0f;
constexpr int kContentAroundGrid = 522;
// The window's outer height adds the caption and frame to the content.
constexpr int kFrameAroundGrid = 554;
constexpr float kMeterTop = 370.0f;
constexpr float kMeterBottomMargin = 170.0f;

// ARGB colours of the window; the same everywhere for the program's life.
namespace palette {
constexpr uint32_t kBackground = 0xFF0D1115;
constexpr uint32_t kPanel = 0xFF161C21;
constexpr uint32_t kTrack = 0xFF2A3339;
constexpr uint32_t kMutedText = 0xFF94A3AC;
constexpr uint32_t kText = 0xFFEEF6F9;
constexpr uint32_t kAccent = 0xFF9CFF38;
constexpr uint32_t kAmber = 0xFFFFC400;
constexpr uint32_t kRed = 0xFFFF5440;
constexpr uint32_t kMeterTrack = 0xFF1E252A;
constexpr uint32_t kPeakMark = 0xAAEEF6F9;
constexpr uint32_t kProgressGlow = 0x1E9CFF38;
}  // namespace palette

struct LogicalRect {
  float x = 0;
  float y = 0;
  float width = 0;
  float height = 0;
};

// A device-pixel rectangle as SetWindowPos and InvalidateRect take it.
struct PixelRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

enum class WindowZoom { kRestored, kMaximised };

struct MeterGrid {
  int columns = 8;
  float row_pitch = 38;
  float gap = 6;
  bool compact = false;
};

// How the processor cells share the band below the progress: columns, the
// distance between rows, and whether cells are too small for numbers.
MeterGrid LayoutMeterGrid(size_t processors, float width, float available, WindowZoom zoom);

// The processor grid's height in a restored window of the base width, which
// fixes the window's height at start.
int StartGridHeight(size_t processors);

// Outer window size in device pixels at start for the given processor count.
struct WindowSize {
  int width = 0;
  int height = 0;
};
WindowSize StartWindowSize(size_t processors, float dpi_scale);

// The zoom of the whole content: 1 in a restored window; a maximised one
// grows with its client area up to 1.6.
float LayoutScale(WindowZoom zoom, int client_width, int client_height, float dpi_scale,
                  int base_content_height);

// The logical client size for the scale s, each truncated.
struct LogicalSize {
  int width = 0;
  int height = 0;
};
LogicalSize LogicalClientSize(int client_width, int client_height, float scale);

struct PixelBox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The four buttons in the order of their ids (main, cancel, language,
// maximise), placed in device pixels for the logical client size and scale s.
std::array<PixelBox, 4> PlaceButtons(LogicalSize logical, float scale);

// Cell i of the grid in logical units, for a client W units wide.
LogicalRect MeterCellRect(size_t index, const MeterGrid& grid, float client_width);

// The part of the client area the meter's animation repaints.
PixelRect MeterBand(PixelRect client, float scale);

// The progress bar's filled length for progress 0..100 (never below 5 units
// once anything has happened), and the glow behind it.
float ProgressBarWidth(double progress, float client_width);
float ProgressGlowWidth(double progress, float client_width);

// The colour of a load in percent: accent, then amber, then red.
uint32_t LoadColour(double load, uint8_t alpha);

// One processor's numbers: the last sample, what is on screen, the peak mark.
struct MeterLoad {
  double sampled = 0;
  double shown = 0;
  double peak = 0;
};

// A raw sample as stored: limited to 0..100.
double LimitLoad(double value);

enum class Motion { kSettled, kMoving };

// One 50 ms step: the shown load covers 22% of the way to the sample and the
// peak falls half a point; says whether anything still needs painting.
Motion AnimateMeterLoad(MeterLoad& load);

// A processor's load from two readings of its idle and busy times.
struct ProcessorTimes {
  int64_t idle = 0;
  int64_t total = 0;
};
double LoadBetween(const ProcessorTimes& before, const ProcessorTimes& after);

}  // namespace cindral
