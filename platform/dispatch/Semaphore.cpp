#include "platform/dispatch/Semaphore.h"

#include <condition_variable>
#include <mutex>

namespace dispatch {

struct Semaphore::State {
  std::mutex mutex;
  std::condition_variable available;
  long count = 0;
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>()) {
  state_->count = value > 0 ? value : 0;
}

Semaphore::~Semaphore() = default;

void Semaphore::signal() {
  std::lock_guard lock(state_->mutex);
  ++state_->count;
  state_->available.notify_one();
}

bool Semaphore::wait(Duration timeout) {
  std::unique_lock lock(state_->mutex);
  const auto positive = [&] { return state_->count > 0; };
  if (timeout == kForever) {
    state_->available.wait(lock, positive);
  } else if (!state_->available.wait_until(lock, deadlineAfter(timeout), positive)) {
    return false;
  }
  --state_->count;
  return true;
}

}  // namespace dispatch
