#include "platform/dispatch/TimerSource.h"

#include <mutex>

#include "platform/dispatch/TimerService.h"

namespace dispatch {

struct TimerSource::State {
  mutable std::mutex mutex;
  Duration interval = kForever;
  Duration leeway = Duration::zero();
  bool armed = false;
  bool started = false;  // resumed at least once, so the clock runs
  bool cancelled = false;
  TimePoint next;
  std::uint64_t generation = 0;  // bumped on every re-arm, so stale firings are dropped
  std::uint64_t timerId = 0;
};

TimerSource::TimerSource(std::shared_ptr<Queue> queue) : Source(std::move(queue)), state_(std::make_unique<State>()) {}

TimerSource::~TimerSource() {
  std::lock_guard lock(state_->mutex);
  if (state_->timerId) TimerService::shared().cancel(state_->timerId);
}

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<Queue> queue) {
  return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue)));
}

void TimerSource::setTimer(Duration start, Duration interval, Duration leeway) {
  std::lock_guard lock(state_->mutex);
  if (state_->cancelled) return;
  if (state_->timerId) TimerService::shared().cancel(state_->timerId);
  state_->timerId = 0;
  ++state_->generation;
  state_->interval = interval <= Duration::zero() ? kForever : interval;
  state_->leeway = leeway;
  state_->armed = true;
  state_->next = deadlineAfter(start);
  if (state_->started) scheduleLocked();
}

Duration TimerSource::interval() const {
  std::lock_guard lock(state_->mutex);
  return state_->interval;
}

Duration TimerSource::leeway() const {
  std::lock_guard lock(state_->mutex);
  return state_->leeway;
}

void TimerSource::onResumed() {
  std::lock_guard lock(state_->mutex);
  if (state_->started || state_->cancelled) return;
  state_->started = true;
  if (state_->armed) scheduleLocked();
}

void TimerSource::onCancelled() {
  std::lock_guard lock(state_->mutex);
  state_->cancelled = true;
  ++state_->generation;
  if (state_->timerId) TimerService::shared().cancel(state_->timerId);
  state_->timerId = 0;
}

void TimerSource::scheduleLocked() {
  std::weak_ptr<TimerSource> weak = std::static_pointer_cast<TimerSource>(shared_from_this());
  const std::uint64_t generation = state_->generation;
  state_->timerId = TimerService::shared().schedule(state_->next, [weak, generation] {
    if (auto self = weak.lock()) self->fire(generation);
  });
}

void TimerSource::fire(std::uint64_t generation) {
  std::uint64_t count = 1;
  {
    std::lock_guard lock(state_->mutex);
    if (generation != state_->generation || state_->cancelled) return;
    state_->timerId = 0;
    if (state_->interval == kForever) {
      state_->armed = false;
    } else {
      // Keep the schedule; firings the clock has already passed are counted into this one.
      const auto now = Clock::now();
      state_->next += state_->interval;
      while (state_->next <= now) {
        state_->next += state_->interval;
        ++count;
      }
      scheduleLocked();
    }
  }
  signalEvent(count, false);
}

}  // namespace dispatch
