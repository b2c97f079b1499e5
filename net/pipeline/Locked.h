#pragma once
// Locked holds one value behind a mutex of its own, for the callback slots and settings that a
// caller sets on any thread while the URL session's delegate queue reads them. Reads hand out
// copies, so a callback read from a slot can run without the lock held.
#include <functional>
#include <mutex>
#include <utility>

namespace pipeline {

template <class T>
class Locked {
 public:
  Locked() = default;
  explicit Locked(T value) : value_(std::move(value)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  // A copy of the value. Thread-safe.
  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  // Replaces the value. Thread-safe.
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  // Runs `change` on the value with the lock held; `change` must not call back into this slot.
  template <class F>
  void modify(F&& change) {
    std::lock_guard lock(mutex_);
    change(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

// An optional callback that the client may install; empty until set.
template <class Signature>
using CallbackSlot = Locked<std::function<Signature>>;

}  // namespace pipeline
