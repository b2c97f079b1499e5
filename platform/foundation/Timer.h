#pragma once
// Timer stands in for the platform's run-loop timers: a block run on the main run loop after an
// interval, once or repeating. A repeating timer keeps its schedule (fire date + k * interval)
// and skips firings it missed while the loop was busy, as the platform does.
//
// Timers fire on the main thread only. invalidate() from another thread waits for a firing that is
// running, so no firing starts or runs after it returns (unless called from inside the block).
#include <functional>
#include <memory>

#include "platform/foundation/Date.h"

namespace foundation {

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Block = std::function<void(Timer&)>;

  // A timer not yet scheduled: first firing `interval` seconds after it is added to the run loop
  // (non-positive intervals count as 0.0001 s, as on the platform), then every `interval` when
  // `repeats`.
  static std::shared_ptr<Timer> create(double interval, bool repeats, Block block);
  // A timer as create() makes, added at once to the main run loop.
  static std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats, Block block);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Runs the block now on the calling thread, without changing the schedule; a non-repeating
  // timer is invalidated by it. Does nothing on an invalid timer.
  void fire();
  // Stops the timer for good and removes it from its run loop. Thread-safe; see the class comment.
  void invalidate();
  bool isValid() const;

  double timeInterval() const { return interval_; }
  bool repeats() const { return repeats_; }
  // The next firing; meaningful once scheduled.
  Date fireDate() const;
  // Moves the next firing to `date` (the schedule continues from there). Thread-safe.
  void setFireDate(Date date);
  // Accepted and reported; firings still aim at the fire date.
  double tolerance() const;
  void setTolerance(double seconds);

 private:
  friend class RunLoop;
  Timer(double interval, bool repeats, Block block);
  // Called by the run loop on the main thread when the fire date has passed; returns whether the
  // timer stays scheduled.
  bool fireFromRunLoop(Date now);
  void schedule(Date from);

  const double interval_;
  const bool repeats_;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace foundation
