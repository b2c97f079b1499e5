#include "platform/dispatch/Time.h"

#include <cmath>

namespace dispatch {

Duration seconds(double value) {
  if (!(value > 0)) return Duration::zero();  // also catches NaN
  const double nanos = value * 1e9;
  if (nanos >= static_cast<double>(Duration::max().count())) return kForever;
  return Duration(static_cast<Duration::rep>(nanos));
}

TimePoint deadlineAfter(Duration timeout) {
  const TimePoint now = Clock::now();
  if (timeout >= TimePoint::max() - now) return TimePoint::max();
  return now + std::chrono::duration_cast<Clock::duration>(timeout);
}

}  // namespace dispatch
