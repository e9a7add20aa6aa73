#include "engine/codec/worker_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace cindral::codec {
namespace {

struct PoolState {
  std::atomic<bool> stopping{false};
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  int copies_left = 0;  // copies of the body that may still be made
};

// A thread body whose copy fails once the pool has handed out copies_left
// copies: std::thread copies its body before the thread exists, so this is a
// failure to start the next thread, as an exhausted system would give.
class Body {
 public:
  explicit Body(PoolState& state) : state_(state) {}
  Body(const Body& other) : state_(other.state_) {
    if (state_.copies_left-- == 0) throw std::runtime_error("no more threads");
  }
  Body& operator=(const Body&) = delete;

  void operator()() const {
    ++state_.started;
    while (!state_.stopping) std::this_thread::yield();
    ++state_.finished;
  }

 private:
  PoolState& state_;
};

TEST(StartWorkers, AFailedStartStopsAndJoinsTheThreadsAlreadyRunning) {
  PoolState state;
  state.copies_left = 2;
  const Body body(state);
  // Without the unwinding, the vector of two joinable threads is destroyed
  // and the process ends in std::terminate.
  EXPECT_THROW(StartWorkers(5, body, [&] { state.stopping = true; }), std::runtime_error);
  EXPECT_TRUE(state.stopping);
  EXPECT_GT(state.started, 0);
  EXPECT_EQ(state.finished, state.started)
      << "the started threads ran to their end before the failure left";
}

TEST(StartWorkers, StartsEveryThreadAndLeavesStoppingToThePool) {
  PoolState state;
  state.copies_left = 100;
  const Body body(state);
  std::vector<std::thread> workers =
      StartWorkers(4, body, [&] { FAIL() << "no failure, so no stop"; });
  EXPECT_EQ(workers.size(), 4u);
  EXPECT_FALSE(state.stopping);
  state.stopping = true;
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(state.finished, 4);
}

}  // namespace
}  // namespace cindral::codec
