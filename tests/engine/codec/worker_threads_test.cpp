#include "engine/codec/worker_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
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

TEST(ThreadPool, RunsTasksInSubmissionOrderOnOneThread) {
  std::vector<int> order;
  std::promise<void> last_ran;
  {
    ThreadPool pool(1);
    for (int i = 0; i < 50; ++i) pool.Submit([&order, i] { order.push_back(i); });
    pool.Submit([&] { last_ran.set_value(); });
    last_ran.get_future().wait();
  }
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

// A pool destroyed while one task runs and others wait: the running one
// finishes, the waiting ones are run or dropped, and none is kept alive.
TEST(ThreadPool, DestructionWaitsForTheRunningTaskAndReleasesTheRest) {
  auto pool = std::make_unique<ThreadPool>(2);
  std::promise<void> started_a, started_b, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> finished{0};
  pool->Submit([&, released] {
    started_a.set_value();
    released.wait();
    ++finished;
  });
  pool->Submit([&, released] {
    started_b.set_value();
    released.wait();
    ++finished;
  });
  started_a.get_future().wait();
  started_b.get_future().wait();
  const auto token = std::make_shared<int>(0);
  for (int i = 0; i < 10; ++i) pool->Submit([token] { ++*token; });
  EXPECT_GT(token.use_count(), 1);
  std::thread destroyer([&] { pool.reset(); });
  release.set_value();
  destroyer.join();
  EXPECT_EQ(finished, 2) << "both running tasks ended before the pool was gone";
  EXPECT_EQ(token.use_count(), 1) << "no task outlived the pool";
}

}  // namespace
}  // namespace cindral::codec
