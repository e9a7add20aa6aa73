// Objects that cost more to make than to keep: a user hands its object back
// when done and the next one takes it. Portable: no platform header may be
// included here.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace cindral::codec {

// Shared by all threads, holding at most kMaxKept. Not thread_local: with
// mingw's emulated TLS in a DLL the per-thread objects could be freed before
// their destructors ran at thread exit, which crashed every pool thread's exit.
template <typename T, size_t kMaxKept>
class SparePool {
 public:
  // A kept object, or a value-initialised one when none is kept.
  T Take() {
    std::lock_guard lock(mutex_);
    if (kept_.empty()) return T{};
    T object = std::move(kept_.back());
    kept_.pop_back();
    return object;
  }

  void Give(T&& object) {
    std::lock_guard lock(mutex_);
    if (kept_.size() < kMaxKept) kept_.push_back(std::move(object));
  }

 private:
  std::mutex mutex_;
  std::vector<T> kept_;
};

}  // namespace cindral::codec
