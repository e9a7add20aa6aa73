// The test programs of the worker launch and the supervision start copies of
// themselves as workers, exactly as the interface starts Vantle. Such a copy
// runs the real worker role for archives, and for inputs with the made-up
// extensions below plays a worker whose outcome the test chooses:
//   .done     ends Done at once
//   .notice   ends Done with the notice "Notice from <name>"
//   .fail     ends Failed with "Made to fail."
//   .wait     reports 3 of 10 and its name, then waits for the cancel flag
//   .hang     never ends by itself and ignores the cancel flag
//   .allocate commits more than the largest memory limit; exits 3 when the
//             system allowed it, 4 when it refused
#pragma once

#include <optional>

namespace cindral::testing {

inline constexpr char kNoticePrefix[] = "Notice from ";
inline constexpr char kMadeToFail[] = "Made to fail.";
constexpr int kAllocationAllowed = 3;
constexpr int kAllocationRefused = 4;

// The worker's exit code when this process was started as a worker,
// otherwise nullopt: the caller then runs its tests.
std::optional<int> RunAsTestWorkerIfAsked();

}  // namespace cindral::testing
