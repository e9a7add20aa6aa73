// The threads of a job: started once, so that work items of any size cost a
// queue push rather than a thread start (several milliseconds under Wine),
// and started so that a failure to start one never ends the process: a
// std::thread destroyed while joinable calls std::terminate, and thread
// creation fails readily inside a memory-limited job.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cindral::codec {

// Starts count threads, each running a copy of body. When one cannot be
// started, stop() tells the pool to wind down and the threads already running
// are joined before the failure goes on to the caller.
template <typename Body, typename Stop>
std::vector<std::thread> StartWorkers(unsigned count, const Body& body, Stop&& stop) {
  std::vector<std::thread> workers;
  try {
    workers.reserve(count);
    for (unsigned i = 0; i < count; ++i) workers.emplace_back(body);
  } catch (...) {
    stop();
    for (std::thread& worker : workers) worker.join();
    throw;
  }
  return workers;
}

// Output below this many bytes decodes in about a millisecond, less than
// handing it to a pool thread costs under Wine, where every wait and wake is
// a call to its server: smaller items are decoded in place.
constexpr uint64_t kDecodeOnPoolFrom = uint64_t{64} << 10;

// A fixed set of threads taking tasks in submission order. Tasks that have
// not started when the pool is destroyed are dropped unrun, so a task must
// own (or share) whatever it reports into; the destructor waits for the
// running ones, so whoever makes them finish must have done so by then.
class ThreadPool {
 public:
  explicit ThreadPool(unsigned threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void Submit(std::function<void()> task);

 private:
  void Stop();
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;  // last: started once everything above exists
};

}  // namespace cindral::codec
