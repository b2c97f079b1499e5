#pragma once
// Monitor stands in for the platform's synchronized blocks: a lock that the thread holding it
// may take again (re-entrant), owned by the object it guards. A class whose operations lock
// "the object itself" keeps one as a member and wraps those operations in synchronized(), or
// holds a std::lock_guard<Monitor> / std::unique_lock<Monitor> for them.
//
// Unlike the platform's, the lock is not looked up by object address: each guarded object owns
// its monitor, so there is no global table to contend on. Thread-safe by nature.
#include <mutex>
#include <utility>

namespace foundation {

class Monitor {
 public:
  Monitor() = default;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Blocks until the monitor is free or already held by this thread.
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

  // Runs `body` holding the monitor and answers what it answers; the monitor is released also
  // when `body` throws.
  template <class F>
  decltype(auto) synchronized(F&& body) {
    std::lock_guard guard(*this);
    return std::forward<F>(body)();
  }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace foundation
