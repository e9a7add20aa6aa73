#include "app/ui/layout.h"

#include <algorithm>
#include <cmath>

namespace cindral {
namespace {

constexpr float kInnerMargin = 56.0f;
constexpr float kCellGap = 6.0f;
constexpr float kCompactGap = 3.0f;

size_t CeilDivide(size_t count, size_t parts) { return (count + parts - 1) / parts; }

int Truncate(float value) { return static_cast<int>(value); }

uint8_t Channel(uint32_t colour, int shift) { return static_cast<uint8_t>(colour >> shift); }

uint32_t MixRgb(uint32_t from, uint32_t to, double t) {
  t = std::clamp(t, 0.0, 1.0);
  uint32_t rgb = 0;
  for (const int shift : {16, 8, 0}) {
    const double start = Channel(from, shift);
    const double end = Channel(to, shift);
    rgb |= static_cast<uint32_t>(static_cast<int>(start + (end - start) * t)) << shift;
  }
  return rgb;
}

}  // namespace

MeterGrid LayoutMeterGrid(size_t processors, float width, float available, WindowZoom zoom) {
  const size_t count = std::max<size_t>(processors, 1);
  const float inner = width - kInnerMargin;
  MeterGrid grid;
  size_t columns = 8;
  if (zoom == WindowZoom::kRestored) {
    columns = count <= 64 ? 8 : count <= 256 ? 16 : 32;
    const size_t rows = CeilDivide(count, columns);
    grid.row_pitch = std::clamp(320.0f / static_cast<float>(rows), 14.0f, 38.0f);
  } else {
    const auto per_row_for = [inner](float cell) {
      return static_cast<size_t>(std::max(1.0f, std::floor(inner / cell)));
    };
    size_t rows = CeilDivide(count, per_row_for(72));
    if (available < static_cast<float>(rows) * 40.0f) rows = CeilDivide(count, per_row_for(30));
    columns = CeilDivide(count, rows);
    grid.row_pitch = std::clamp(available / static_cast<float>(rows), 14.0f, 140.0f);
  }
  grid.columns = static_cast<int>(std::min(columns, count));
  const float cell_width =
      (inner - static_cast<float>(grid.columns - 1) * kCellGap) / static_cast<float>(grid.columns);
  if (cell_width < 44.0f || grid.row_pitch < 30.0f) {
    grid.compact = true;
    grid.gap = kCompactGap;
  }
  return grid;
}

int StartGridHeight(size_t processors) {
  const MeterGrid grid =
      LayoutMeterGrid(processors, kBaseContentWidth, 0.0f, WindowZoom::kRestored);
  const size_t rows = CeilDivide(std::max<size_t>(processors, 1), grid.columns);
  return Truncate(static_cast<float>(rows) * grid.row_pitch);
}

WindowSize StartWindowSize(size_t processors, float dpi_scale) {
  return WindowSize{
      Truncate(kBaseContentWidth * dpi_scale),
      Truncate(static_cast<float>(StartGridHeight(processors) + kFrameAroundGrid) * dpi_scale)};
}

float LayoutScale(WindowZoom zoom, int client_width, int client_height, float dpi_scale,
                  int base_content_height) {
  if (zoom == WindowZoom::kRestored) return 1.0f;
  const float by_height =
      static_cast<float>(client_height) / dpi_scale / static_cast<float>(base_content_height + 150);
  const float by_width = static_cast<float>(client_width) / dpi_scale / kBaseContentWidth;
  return std::clamp(std::min(by_height, by_width), 1.0f, 1.6f);
}

LogicalSize LogicalClientSize(int client_width, int client_height, float scale) {
  return LogicalSize{Truncate(static_cast<float>(client_width) / scale),
                     Truncate(static_cast<float>(client_height) / scale)};
}

std::array<PixelBox, 4> PlaceButtons(LogicalSize logical, float scale) {
  const auto box = [scale](float x, float y, float width, float height) {
    return PixelBox{Truncate(x * scale), Truncate(y * scale), Truncate(width * scale),
                    Truncate(height * scale)};
  };
  const auto w = static_cast<float>(logical.width);
  const auto h = static_cast<float>(logical.height);
  return {box(28, h - 108, w - 56, 56), box(w - 125, h - 157, 97, 28), box(w - 139, 26, 68, 30),
          box(w - 177, 26, 32, 30)};
}

LogicalRect MeterCellRect(size_t index, const MeterGrid& grid, float client_width) {
  const auto columns = static_cast<size_t>(grid.columns);
  const float cell_width =
      (client_width - kInnerMargin - static_cast<float>(grid.columns - 1) * grid.gap) /
      static_cast<float>(grid.columns);
  const auto column = static_cast<float>(index % columns);
  const auto row = static_cast<float>(index / columns);
  return LogicalRect{28.0f + column * (cell_width + grid.gap), kMeterTop + row * grid.row_pitch,
                     cell_width, grid.row_pitch - grid.gap};
}

PixelRect MeterBand(PixelRect client, float scale) {
  client.top = Truncate(scale * 335.0f);
  client.bottom -= Truncate(scale * 165.0f);
  return client;
}

float ProgressGlowWidth(double progress, float client_width) {
  if (progress <= 0) return 0;
  return static_cast<float>(progress * (client_width - kInnerMargin) / 100.0);
}

float ProgressBarWidth(double progress, float client_width) {
  if (progress <= 0) return 0;
  return std::max(5.0f, ProgressGlowWidth(progress, client_width));
}

uint32_t LoadColour(double load, uint8_t alpha) {
  // The blend factors are worked out on the percentage itself, so that full
  // load is exactly red rather than one step short of it.
  uint32_t rgb = palette::kAccent & 0xFFFFFFu;
  if (load >= 80.0) {
    rgb = MixRgb(palette::kAmber, palette::kRed, (load - 80.0) / 20.0);
  } else if (load >= 55.0) {
    rgb = MixRgb(palette::kAccent, palette::kAmber, (load - 55.0) / 25.0);
  }
  return static_cast<uint32_t>(alpha) << 24 | rgb;
}

double LimitLoad(double value) { return std::clamp(value, 0.0, 100.0); }

Motion AnimateMeterLoad(MeterLoad& load) {
  const double difference = load.sampled - load.shown;
  load.shown += difference * 0.22;
  load.peak = std::max(load.peak - 0.5, load.shown);
  const bool moving = std::fabs(difference) > 0.4 || load.peak > load.shown + 0.3;
  return moving ? Motion::kMoving : Motion::kSettled;
}

double LoadBetween(const ProcessorTimes& before, const ProcessorTimes& after) {
  const int64_t total = after.total - before.total;
  if (total <= 0) return 0;
  const int64_t idle = std::clamp<int64_t>(after.idle - before.idle, 0, total);
  return LimitLoad(100.0 * static_cast<double>(total - idle) / static_cast<double>(total));
}

}  // namespace cindral
