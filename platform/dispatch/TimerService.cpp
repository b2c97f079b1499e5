#include "platform/dispatch/TimerService.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace dispatch {

struct TimerService::State {
  std::mutex mutex;
  std::condition_variable changed;
  // Ordered by deadline, then by id so that equal deadlines run in the order scheduled.
  std::map<std::pair<TimePoint, std::uint64_t>, std::function<void()>> pending;
  std::map<std::uint64_t, TimePoint> deadlines;
  std::uint64_t nextId = 1;
};

TimerService::TimerService() : state_(new State()) {
  std::thread([this] { loop(); }).detach();
}

TimerService& TimerService::shared() {
  static TimerService* service = new TimerService();
  return *service;
}

std::uint64_t TimerService::schedule(TimePoint deadline, std::function<void()> callback) {
  std::lock_guard lock(state_->mutex);
  const std::uint64_t id = state_->nextId++;
  state_->pending.emplace(std::make_pair(deadline, id), std::move(callback));
  state_->deadlines.emplace(id, deadline);
  state_->changed.notify_one();
  return id;
}

void TimerService::cancel(std::uint64_t id) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->deadlines.find(id);
  if (it == state_->deadlines.end()) return;
  state_->pending.erase(std::make_pair(it->second, id));
  state_->deadlines.erase(it);
}

void TimerService::loop() {
  std::unique_lock lock(state_->mutex);
  for (;;) {
    if (state_->pending.empty()) {
      state_->changed.wait(lock);
      continue;
    }
    auto first = state_->pending.begin();
    const TimePoint deadline = first->first.first;
    if (Clock::now() < deadline) {
      state_->changed.wait_until(lock, deadline);
      continue;
    }
    auto callback = std::move(first->second);
    state_->deadlines.erase(first->first.second);
    state_->pending.erase(first);
    lock.unlock();
    callback();
    callback = nullptr;
    lock.lock();
  }
}

}  // namespace dispatch
