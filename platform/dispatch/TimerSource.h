#pragma once
// TimerSource stands in for the platform's dispatch timer sources: an event handler run on a queue
// at a start time and then every interval, or once when the interval is kForever. The leeway is
// accepted and reported but deliveries aim at the exact time. Firings missed while the handler or
// the queue was busy are merged into one delivery whose data() is their count.
#include <memory>

#include "platform/dispatch/Source.h"

namespace dispatch {

class TimerSource : public Source {
 public:
  // A suspended timer source delivering on `queue` (not null). It does not fire until both
  // setTimer() and resume() have been called.
  static std::shared_ptr<TimerSource> create(std::shared_ptr<Queue> queue);
  ~TimerSource() override;

  // Arms (or re-arms) the timer: first firing `start` from now, then every `interval` (kForever:
  // only once). Pending firings of the earlier setting are dropped. Thread-safe.
  void setTimer(Duration start, Duration interval, Duration leeway = Duration::zero());
  Duration interval() const;
  Duration leeway() const;

 private:
  explicit TimerSource(std::shared_ptr<Queue> queue);
  void onResumed() override;
  void onCancelled() override;
  void fire(std::uint64_t generation);
  void scheduleLocked();

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
