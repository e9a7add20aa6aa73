#include "app/ui/processor_meter.h"

#include <pdh.h>
#include <pdhmsg.h>
#include <winternl.h>

#include <algorithm>
#include <string>

#include "common/win_owners.h"

namespace cindral {
namespace {

using UniquePdhQuery = UniqueResource<PointerTraits<PDH_HQUERY, PdhCloseQuery>>;

struct MeterEntry {
  PDH_HCOUNTER counter = nullptr;
  WORD group = 0;
  DWORD processor = 0;
  MeterLoad load;
  // The times of the previous reading, for processors PDH cannot count.
  ProcessorTimes times;
  bool has_times = false;
};

struct ProcessorMeter {
  UniquePdhQuery query;
  std::vector<MeterEntry> entries;
};

ProcessorMeter& Meter() {
  static ProcessorMeter meter;
  return meter;
}

using QueryInformationEx = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, void*, ULONG, void*, ULONG,
                                            ULONG*);

// The idle and busy times of each processor of one group, from the kernel's
// own bookkeeping; empty when the system does not answer.
std::vector<ProcessorTimes> ReadGroupTimes(WORD group, DWORD processors) {
  std::vector<SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION> raw(processors);
  const auto bytes = static_cast<ULONG>(raw.size() * sizeof(raw[0]));
  ULONG written = 0;
  NTSTATUS status = -1;
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto query_ex = reinterpret_cast<QueryInformationEx>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformationEx")));
  if (query_ex) {
    USHORT input = group;
    status = query_ex(SystemProcessorPerformanceInformation, &input, sizeof(input), raw.data(),
                      bytes, &written);
  }
  // Without the per-group call only the caller's group can be read, which is
  // all of them on a machine with one group.
  if (status < 0 && group == 0 && GetActiveProcessorGroupCount() == 1) {
    status = NtQuerySystemInformation(SystemProcessorPerformanceInformation, raw.data(), bytes,
                                      &written);
  }
  std::vector<ProcessorTimes> times;
  if (status < 0) return times;
  raw.resize(written / sizeof(raw[0]));
  for (const auto& info : raw) {
    // The kernel time includes the idle time.
    times.push_back(
        ProcessorTimes{info.IdleTime.QuadPart, info.KernelTime.QuadPart + info.UserTime.QuadPart});
  }
  return times;
}

// Processors whose counter could not be added (as under Wine) are read from
// the processor performance information instead of staying at 0.
void SampleWithoutCounters(std::vector<MeterEntry>& entries) {
  WORD read_group = 0xFFFF;
  std::vector<ProcessorTimes> group_times;
  for (MeterEntry& entry : entries) {
    if (entry.counter) continue;
    if (entry.group != read_group) {
      read_group = entry.group;
      group_times = ReadGroupTimes(entry.group, GetActiveProcessorCount(entry.group));
    }
    if (entry.processor >= group_times.size()) continue;
    const ProcessorTimes& now = group_times[entry.processor];
    if (entry.has_times) entry.load.sampled = LoadBetween(entry.times, now);
    entry.times = now;
    entry.has_times = true;
  }
}

bool IsUsableStatus(DWORD status) {
  return status == PDH_CSTATUS_VALID_DATA || status == PDH_CSTATUS_NEW_DATA;
}

}  // namespace

void StartProcessorMeter() {
  ProcessorMeter& meter = Meter();
  meter.entries.clear();
  PdhOpenQueryW(nullptr, 0, meter.query.Put());
  const WORD groups = GetActiveProcessorGroupCount();
  for (WORD group = 0; group < groups; ++group) {
    const DWORD processors = GetActiveProcessorCount(group);
    for (DWORD processor = 0; processor < processors; ++processor) {
      MeterEntry entry;
      entry.group = group;
      entry.processor = processor;
      const std::wstring path = L"\\Processor Information(" + std::to_wstring(group) + L"," +
                                std::to_wstring(processor) + L")\\% Processor Time";
      if (meter.query && PdhAddEnglishCounterW(meter.query.Get(), path.c_str(), 0,
                                               &entry.counter) != ERROR_SUCCESS) {
        entry.counter = nullptr;
      }
      meter.entries.push_back(entry);
    }
  }
  if (meter.entries.empty()) meter.entries.push_back(MeterEntry{});
  // Processor time is a rate: this first collection only sets the baseline,
  // the first values come with the first tick.
  if (meter.query) PdhCollectQueryData(meter.query.Get());
  SampleWithoutCounters(meter.entries);
}

void SampleProcessorMeter() {
  ProcessorMeter& meter = Meter();
  if (meter.query && PdhCollectQueryData(meter.query.Get()) == ERROR_SUCCESS) {
    for (MeterEntry& entry : meter.entries) {
      if (!entry.counter) continue;
      PDH_FMT_COUNTERVALUE value{};
      if (PdhGetFormattedCounterValue(entry.counter, PDH_FMT_DOUBLE, nullptr, &value) !=
              ERROR_SUCCESS ||
          !IsUsableStatus(value.CStatus)) {
        continue;
      }
      entry.load.sampled = LimitLoad(value.doubleValue);
    }
  }
  SampleWithoutCounters(meter.entries);
}

void AnimateProcessorMeter(HWND window, float scale) {
  bool moving = false;
  for (MeterEntry& entry : Meter().entries) {
    moving = AnimateMeterLoad(entry.load) == Motion::kMoving || moving;
  }
  if (!moving) return;
  RECT client{};
  GetClientRect(window, &client);
  const PixelRect band =
      MeterBand(PixelRect{client.left, client.top, client.right, client.bottom}, scale);
  const RECT dirty{band.left, band.top, band.right, band.bottom};
  InvalidateRect(window, &dirty, FALSE);
}

void CloseProcessorMeter() { Meter().query.Reset(); }

size_t MeterEntryCount() { return Meter().entries.size(); }

const MeterLoad& MeterEntryLoad(size_t index) { return Meter().entries.at(index).load; }

double MeterAverageLoad() {
  const std::vector<MeterEntry>& entries = Meter().entries;
  if (entries.empty()) return 0;
  double sum = 0;
  for (const MeterEntry& entry : entries) sum += entry.load.sampled;
  return sum / static_cast<double>(entries.size());
}

namespace {

void PaintCompactCell(Gdiplus::Graphics& graphics, double load, const LogicalRect& cell) {
  FillRoundedRect(graphics, palette::kMeterTrack, cell, 3);
  const auto fill = static_cast<float>(load * cell.height / 100.0);
  const LogicalRect bar{cell.x, cell.y + cell.height - fill, cell.width, fill};
  FillWithLoadGradient(graphics, bar, 3,
                       Gdiplus::Point(0, static_cast<INT>(cell.y + cell.height + 1)),
                       Gdiplus::Point(0, static_cast<INT>(cell.y - 1)));
}

void PaintHorizontalBar(Gdiplus::Graphics& graphics, const MeterLoad& load,
                        const LogicalRect& cell) {
  const float bx = cell.x + 6;
  const float by = cell.y + cell.height - 9;
  const float bw = cell.width - 12;
  FillRoundedRect(graphics, palette::kMeterTrack, {bx, by, bw, 4}, 2);
  const auto length = static_cast<float>(load.shown * bw / 100.0);
  if (length > 1) {
    FillRoundedRect(graphics, LoadColour(load.shown, 46), {bx - 2, by - 2, length + 4, 8}, 4);
    FillWithLoadGradient(graphics, {bx, by, std::max(4.0f, length), 4}, 2,
                         Gdiplus::Point(static_cast<INT>(bx - 1), 0),
                         Gdiplus::Point(static_cast<INT>(bx + bw + 1), 0));
  }
  const Gdiplus::SolidBrush peak(Gdiplus::Color(palette::kPeakMark));
  graphics.FillRectangle(&peak, static_cast<float>(bx + load.peak * bw / 100.0 - 1), by - 2, 2.0f,
                         8.0f);
}

void PaintVerticalBar(Gdiplus::Graphics& graphics, const MeterLoad& load, const LogicalRect& cell) {
  const float bw = std::clamp(cell.width * 0.45f, 6.0f, 64.0f);
  const float bx = cell.x + (cell.width - bw) / 2;
  const float by = cell.y + 24;
  const float bh = cell.height - 32;
  FillRoundedRect(graphics, palette::kMeterTrack, {bx, by, bw, bh}, 4);
  const auto length = static_cast<float>(load.shown * bh / 100.0);
  const float top = by + bh - length;
  if (length > 1) {
    FillRoundedRect(graphics, LoadColour(load.shown, 46), {bx - 3, top - 3, bw + 6, length + 6}, 7);
    FillWithLoadGradient(graphics, {bx, top, bw, length}, 4,
                         Gdiplus::Point(0, static_cast<INT>(by + bh + 1)),
                         Gdiplus::Point(0, static_cast<INT>(by - 1)));
  }
  const Gdiplus::SolidBrush peak(Gdiplus::Color(palette::kPeakMark));
  graphics.FillRectangle(&peak, bx - 3, static_cast<float>(by + bh - load.peak * bh / 100.0 - 1),
                         bw + 6, 2.0f);
}

}  // namespace

void PaintMeterCell(Gdiplus::Graphics& graphics, size_t index, const LogicalRect& cell,
                    bool compact) {
  const MeterLoad& load = MeterEntryLoad(index);
  if (compact) {
    PaintCompactCell(graphics, load.shown, cell);
    return;
  }
  FillRoundedRect(graphics, palette::kPanel, cell, 6);
  if (load.shown > 1) {
    const auto alpha = static_cast<uint8_t>(load.shown * 0.3);
    FillRoundedRect(graphics, LoadColour(load.shown, alpha), cell, 6);
  }
  const float half = cell.width / 2;
  DrawLabel(graphics, std::to_wstring(index + 1), {cell.x + 6, cell.y + 2, half - 6, 18}, 9,
            palette::kMutedText, FontWeight::kRegular, TextAlign::kNear);
  DrawLabel(graphics, std::to_wstring(static_cast<int>(load.shown + 0.5)),
            {cell.x + half, cell.y + 2, half - 7, 18}, cell.height < 64 ? 10.0f : 13.0f,
            palette::kText, FontWeight::kBold, TextAlign::kFar);
  if (cell.height < 64) {
    PaintHorizontalBar(graphics, load, cell);
  } else {
    PaintVerticalBar(graphics, load, cell);
  }
}

}  // namespace cindral
