#include "platform/foundation/RunLoop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/dispatch/MainQueueDriver.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Timer.h"

namespace foundation {

namespace {

// How long a condition-driven run sleeps at most between checks: the condition may be made true
// by another thread that has no reason to wake the loop.
constexpr double kConditionPollSeconds = 0.005;

}  // namespace

struct RunLoop::State : dispatch::MainQueueDriver {
  std::mutex mutex;
  std::condition_variable woken;
  bool wakePending = false;
  int stopRequests = 0;
  int depth = 0;  // nested runs in progress; stop() outside any run is ignored
  std::vector<std::shared_ptr<Timer>> timers;
  std::function<void()> wakeHandler;

  void wake() override {
    std::function<void()> handler;
    {
      std::lock_guard lock(mutex);
      wakePending = true;
      woken.notify_all();
      handler = wakeHandler;
    }
    if (handler) handler();
  }

  // Sleeps until woken or `until`, whichever is first.
  void waitUntil(Date until) {
    std::unique_lock lock(mutex);
    if (!wakePending && stopRequests == 0) {
      const double seconds = std::max(0.0, until.timeIntervalSinceNow());
      woken.wait_for(lock, std::chrono::duration<double>(std::min(seconds, 3600.0)),
                     [&] { return wakePending || stopRequests > 0; });
    }
    wakePending = false;
  }

  // Counts one run in progress for the scope's lifetime.
  struct Depth {
    State& state;
    explicit Depth(State& s) : state(s) {
      std::lock_guard lock(state.mutex);
      ++state.depth;
    }
    ~Depth() {
      std::lock_guard lock(state.mutex);
      if (--state.depth == 0) state.stopRequests = 0;
    }
  };

  bool takeStop() {
    std::lock_guard lock(mutex);
    if (stopRequests == 0) return false;
    --stopRequests;
    return true;
  }
};

RunLoop::RunLoop() : state_(std::make_unique<State>()) {}

RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main() {
  // Never destroyed: the main queue keeps a pointer to it as its driver.
  static RunLoop* loop = [] {
    auto* created = new RunLoop();
    dispatch::setMainQueueDriver(created->state_.get());
    return created;
  }();
  return *loop;
}

void RunLoop::addTimer(const std::shared_ptr<Timer>& timer) {
  if (!timer || !timer->isValid()) return;
  {
    std::lock_guard lock(state_->mutex);
    if (std::find(state_->timers.begin(), state_->timers.end(), timer) != state_->timers.end()) return;
    timer->schedule(Date::now());
    state_->timers.push_back(timer);
  }
  wakeUp();
}

void RunLoop::removeTimer(const Timer* timer) {
  std::lock_guard lock(state_->mutex);
  std::erase_if(state_->timers, [&](const auto& t) { return t.get() == timer; });
}

bool RunLoop::fireDueTimers() {
  std::vector<std::shared_ptr<Timer>> timers;
  {
    std::lock_guard lock(state_->mutex);
    timers = state_->timers;
  }
  // Fire in fire-date order, so that timers due together keep their relative order.
  std::stable_sort(timers.begin(), timers.end(),
                   [](const auto& a, const auto& b) { return a->fireDate() < b->fireDate(); });
  bool fired = false;
  const Date now = Date::now();
  for (const auto& timer : timers) {
    if (!timer->isValid() || timer->fireDate() > now) {
      if (!timer->isValid()) removeTimer(timer.get());
      continue;
    }
    fired = true;
    if (!timer->fireFromRunLoop(now)) removeTimer(timer.get());
  }
  return fired;
}

Date RunLoop::nextTimerDate() const {
  std::lock_guard lock(state_->mutex);
  Date next = Date::distantFuture();
  for (const auto& timer : state_->timers) {
    if (timer->isValid()) next = std::min(next, timer->fireDate());
  }
  return next;
}

bool RunLoop::processPending() {
  if (!dispatch::Queue::isMainThread()) return false;
  const bool ranBlocks = dispatch::drainMainQueue() > 0;
  const bool firedTimers = fireDueTimers();
  return ranBlocks || firedTimers;
}

bool RunLoop::runUntil(Date date) {
  if (!dispatch::Queue::isMainThread()) return false;
  State::Depth depth(*state_);
  for (;;) {
    processPending();
    if (state_->takeStop()) return true;
    if (Date::now() >= date) return true;
    if (dispatch::mainQueueHasPendingBlocks()) continue;
    state_->waitUntil(std::min(date, nextTimerDate()));
  }
}

bool RunLoop::runUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  if (!dispatch::Queue::isMainThread()) return condition();
  const Date deadline = Date::now().addingTimeInterval(timeoutSeconds);
  State::Depth depth(*state_);
  for (;;) {
    if (condition()) return true;
    processPending();
    if (condition()) return true;
    if (state_->takeStop() || Date::now() >= deadline) return condition();
    if (dispatch::mainQueueHasPendingBlocks()) continue;
    const Date poll = Date::now().addingTimeInterval(kConditionPollSeconds);
    state_->waitUntil(std::min({deadline, nextTimerDate(), poll}));
  }
}

void RunLoop::stop() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->depth == 0) return;
    ++state_->stopRequests;
  }
  wakeUp();
}

void RunLoop::wakeUp() { state_->wake(); }

void RunLoop::setWakeHandler(std::function<void()> handler) {
  std::lock_guard lock(state_->mutex);
  state_->wakeHandler = std::move(handler);
}

bool pumpMainUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  return RunLoop::main().runUntil(condition, timeoutSeconds);
}

}  // namespace foundation
