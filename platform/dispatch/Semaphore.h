#pragma once
// Semaphore stands in for the platform's counting dispatch semaphores.
#include <memory>

#include "platform/dispatch/Time.h"

namespace dispatch {

class Semaphore {
 public:
  // A semaphore whose count starts at `value` (negative values count as 0).
  explicit Semaphore(long value = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Raises the count, waking one waiter. Thread-safe.
  void signal();
  // Lowers the count, waiting while it is zero, at most `timeout`; returns false on timeout (the
  // count is then unchanged). Thread-safe.
  bool wait(Duration timeout = kForever);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
