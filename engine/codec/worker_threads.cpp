#include "engine/codec/worker_threads.h"

namespace cindral::codec {

ThreadPool::ThreadPool(unsigned threads)
    : threads_(StartWorkers(
          threads, [this] { Run(); }, [this] { Stop(); })) {}

ThreadPool::~ThreadPool() {
  Stop();
  for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::Submit(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void ThreadPool::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

void ThreadPool::Run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace cindral::codec
