#include "platform/dispatch/CallGate.h"

#include <algorithm>

namespace dispatch {

bool CallGate::enter() {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  running_.push_back(std::this_thread::get_id());
  return true;
}

void CallGate::exit() {
  std::lock_guard lock(mutex_);
  auto it = std::find(running_.begin(), running_.end(), std::this_thread::get_id());
  if (it != running_.end()) running_.erase(it);
  idle_.notify_all();
}

void CallGate::close() {
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  closed_ = true;
  idle_.wait(lock, [&] {
    return std::all_of(running_.begin(), running_.end(), [&](auto id) { return id == self; });
  });
}

bool CallGate::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace dispatch
