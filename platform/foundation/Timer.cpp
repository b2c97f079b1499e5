#include "platform/foundation/Timer.h"

#include <cmath>
#include <mutex>

#include "platform/dispatch/CallGate.h"
#include "platform/foundation/RunLoop.h"

namespace foundation {

namespace {
// The platform's floor for non-positive intervals.
constexpr double kMinimumInterval = 0.0001;
}  // namespace

struct Timer::State {
  mutable std::mutex mutex;
  bool scheduled = false;
  bool fireDateSet = false;
  Date fireDate;
  double tolerance = 0;
  Block block;
  dispatch::CallGate gate;  // closed by invalidate(); waits for a firing on another thread
};

Timer::Timer(double interval, bool repeats, Block block)
    : interval_(interval > 0 ? interval : kMinimumInterval), repeats_(repeats), state_(std::make_unique<State>()) {
  state_->block = std::move(block);
}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::create(double interval, bool repeats, Block block) {
  return std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(block)));
}

std::shared_ptr<Timer> Timer::scheduledTimer(double interval, bool repeats, Block block) {
  auto timer = create(interval, repeats, std::move(block));
  RunLoop::main().addTimer(timer);
  return timer;
}

void Timer::schedule(Date from) {
  std::lock_guard lock(state_->mutex);
  state_->scheduled = true;
  if (!state_->fireDateSet) state_->fireDate = from.addingTimeInterval(interval_);
}

void Timer::fire() {
  Block block;
  {
    std::lock_guard lock(state_->mutex);
    block = state_->block;
  }
  if (!block) return;
  // Keep the timer alive through the block, which may drop the last outside reference.
  auto self = shared_from_this();
  state_->gate.run([&] { block(*this); });
  if (!repeats_) invalidate();
}

bool Timer::fireFromRunLoop(Date now) {
  Block block;
  {
    std::lock_guard lock(state_->mutex);
    block = state_->block;
    if (!block || state_->fireDate > now) return static_cast<bool>(block);
    if (repeats_) {
      // Keep the schedule; firings missed while the loop was busy are skipped, not bunched.
      const double behind = now.timeIntervalSince(state_->fireDate);
      const double steps = std::floor(behind / interval_) + 1;
      state_->fireDate = state_->fireDate.addingTimeInterval(steps * interval_);
    }
  }
  auto self = shared_from_this();
  state_->gate.run([&] { block(*this); });
  if (!repeats_) {
    invalidate();
    return false;
  }
  return isValid();
}

void Timer::invalidate() {
  bool wasScheduled = false;
  {
    std::lock_guard lock(state_->mutex);
    wasScheduled = state_->scheduled;
    state_->scheduled = false;
    state_->block = nullptr;
  }
  state_->gate.close();
  if (wasScheduled) RunLoop::main().removeTimer(this);
}

bool Timer::isValid() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<bool>(state_->block);
}

Date Timer::fireDate() const {
  std::lock_guard lock(state_->mutex);
  return state_->fireDate;
}

void Timer::setFireDate(Date date) {
  {
    std::lock_guard lock(state_->mutex);
    state_->fireDate = date;
    state_->fireDateSet = true;
  }
  RunLoop::main().wakeUp();
}

double Timer::tolerance() const {
  std::lock_guard lock(state_->mutex);
  return state_->tolerance;
}

void Timer::setTolerance(double seconds) {
  std::lock_guard lock(state_->mutex);
  state_->tolerance = seconds > 0 ? seconds : 0;
}

}  // namespace foundation
