// The load of every logical processor, sampled twice a second and gliding
// between samples, one cell per processor in the lower half of the window.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

#include "app/ui/layout.h"
#include "app/ui/rendering.h"

namespace cindral {

// Opens the counter query and makes one entry per logical processor over all
// processor groups (at least one).
void StartProcessorMeter();
// Takes one sample of every processor's load.
void SampleProcessorMeter();
// One animation step; repaints the meter's band of the window only while
// something on it moves.
void AnimateProcessorMeter(HWND window, float scale);
void CloseProcessorMeter();

size_t MeterEntryCount();
const MeterLoad& MeterEntryLoad(size_t index);
// The mean of the sampled loads, so it moves in half-second steps.
double MeterAverageLoad();

void PaintMeterCell(Gdiplus::Graphics& graphics, size_t index, const LogicalRect& cell,
                    bool compact);

}  // namespace cindral
