// Starting the threads of a pool so that a failure to start one never ends
// the process: a std::thread destroyed while joinable calls std::terminate,
// and thread creation fails readily inside a memory-limited job.
#pragma once

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

}  // namespace cindral::codec
