#include "platform/dispatch/Source.h"

#include <mutex>

#include "platform/dispatch/CallGate.h"
#include "platform/dispatch/Queue.h"

namespace dispatch {

struct Source::State {
  mutable std::mutex mutex;
  Block handler;
  Block cancelHandler;
  std::size_t suspendCount = 1;  // sources start suspended
  bool cancelled = false;
  bool deliveryScheduled = false;
  std::uint64_t pendingData = 0;
  std::uint64_t currentData = 0;
  CallGate gate;  // guards the event handler, so cancel() can wait for it
};

Source::Source(std::shared_ptr<Queue> queue) : queue_(std::move(queue)), state_(std::make_unique<State>()) {}

Source::~Source() = default;

void Source::setEventHandler(Block handler) {
  std::lock_guard lock(state_->mutex);
  state_->handler = std::move(handler);
}

void Source::setCancelHandler(Block handler) {
  std::lock_guard lock(state_->mutex);
  state_->cancelHandler = std::move(handler);
}

void Source::resume() {
  bool schedule = false;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled || state_->suspendCount == 0) return;
    if (--state_->suspendCount > 0) return;
    if (state_->pendingData != 0 && !state_->deliveryScheduled) {
      state_->deliveryScheduled = true;
      schedule = true;
    }
  }
  onResumed();
  if (schedule) queue_->async([self = shared_from_this()] { self->deliver(); });
}

void Source::suspend() {
  std::lock_guard lock(state_->mutex);
  if (!state_->cancelled) ++state_->suspendCount;
}

void Source::cancel() {
  Block cancelHandler;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->cancelled = true;
    cancelHandler = std::move(state_->cancelHandler);
    state_->handler = nullptr;
  }
  state_->gate.close();
  onCancelled();
  if (cancelHandler) queue_->async(std::move(cancelHandler));
}

bool Source::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

std::uint64_t Source::data() const {
  std::lock_guard lock(state_->mutex);
  return state_->currentData;
}

bool Source::isActive() const {
  std::lock_guard lock(state_->mutex);
  return !state_->cancelled && state_->suspendCount == 0;
}

void Source::signalEvent(std::uint64_t data, bool orData) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->pendingData = orData ? (state_->pendingData | data) : (state_->pendingData + data);
    if (state_->suspendCount > 0 || state_->deliveryScheduled) return;
    state_->deliveryScheduled = true;
  }
  queue_->async([self = shared_from_this()] { self->deliver(); });
}

void Source::deliver() {
  Block handler;
  {
    std::lock_guard lock(state_->mutex);
    state_->deliveryScheduled = false;
    // A suspended source keeps its data; resume() schedules the delivery again.
    if (state_->cancelled || state_->suspendCount > 0 || state_->pendingData == 0) return;
    state_->currentData = state_->pendingData;
    state_->pendingData = 0;
    handler = state_->handler;
  }
  if (handler) state_->gate.run(handler);
}

}  // namespace dispatch
