// The memory block an interface and its worker share.
#pragma once

#include <cstddef>

namespace cindral {

constexpr size_t kWorkerSharedStateSize = 70688;

}  // namespace cindral
