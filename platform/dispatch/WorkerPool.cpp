#include "platform/dispatch/WorkerPool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace dispatch {

namespace {
// How long an idle worker waits for work before it ends.
constexpr auto kIdleLifetime = std::chrono::seconds(10);
}  // namespace

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  std::size_t idle = 0;
};

WorkerPool& WorkerPool::shared() {
  static WorkerPool* pool = [] {
    auto* p = new WorkerPool();
    p->state_ = new State();
    return p;
  }();
  return *pool;
}

void WorkerPool::submit(std::function<void()> task) {
  bool spawn = false;
  {
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    // Each idle worker takes one task; start a thread for tasks beyond them.
    if (state_->idle >= state_->tasks.size()) {
      state_->wake.notify_one();
    } else {
      spawn = true;
    }
  }
  if (spawn) std::thread([this] { workerLoop(); }).detach();
}

void WorkerPool::workerLoop() {
  std::unique_lock lock(state_->mutex);
  for (;;) {
    if (state_->tasks.empty()) {
      ++state_->idle;
      const bool woken = state_->wake.wait_for(lock, kIdleLifetime, [&] { return !state_->tasks.empty(); });
      --state_->idle;
      if (!woken) return;
    }
    auto task = std::move(state_->tasks.front());
    state_->tasks.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // release captures before taking the lock again
    lock.lock();
  }
}

}  // namespace dispatch
