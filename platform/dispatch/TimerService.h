#pragma once
// TimerService runs callbacks at deadlines on one timer thread: the engine behind asyncAfter and
// the timer sources. Callbacks must be short (they hand work to a queue). Internal.
#include <cstdint>
#include <functional>

#include "platform/dispatch/Time.h"

namespace dispatch {

class TimerService {
 public:
  // The process-wide service; never destroyed, like the worker pool.
  static TimerService& shared();

  // Runs `callback` on the timer thread at `deadline` (at once if past); returns an id for cancel.
  std::uint64_t schedule(TimePoint deadline, std::function<void()> callback);
  // Drops a callback that has not started; unknown ids are ignored. A callback that has already
  // started is not waited for: callers check their own state in the callback.
  void cancel(std::uint64_t id);

 private:
  TimerService();
  void loop();

  struct State;
  State* state_;
};

}  // namespace dispatch
