// One archive job from start to end inside the current process: the frame
// every worker and headless run ends in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cindral {

struct WorkerSharedState;

// pack: the selection becomes one ZIP; otherwise each path is extracted.
// shared: the worker's shared state, or null headless. Returns the exit
// code: 0 done, 1 failed, 2 failed after a cancel request. Never throws.
// threads is clamped to 1 ... MaxThreadCount().
int RunArchiveJob(bool pack, const std::vector<std::wstring>& selection, WorkerSharedState* shared,
                  uint32_t threads);

// "\\?\UNC\" and "\\?\" prefixes dropped, made absolute and normalised
// lexically; every later file-system call restores the long form.
std::wstring PrepareSelectionPath(const std::wstring& path);

}  // namespace cindral
