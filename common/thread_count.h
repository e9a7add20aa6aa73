// How many threads one job may run: asked for by a command line or by a
// host's "mt" property, and clamped once where it enters, because every
// thread costs memory inside the worker's limits and a pool that cannot start
// its threads fails the job.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace cindral {

// One thread per active logical processor, over all processor groups, and
// never more than 64.
inline unsigned MaxThreadCount() {
  const DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return static_cast<unsigned>(std::clamp<DWORD>(processors, 1, 64));
}

// requested, raised to 1 and lowered to MaxThreadCount().
inline unsigned ClampThreadCount(uint64_t requested) {
  return static_cast<unsigned>(std::clamp<uint64_t>(requested, 1, MaxThreadCount()));
}

}  // namespace cindral
