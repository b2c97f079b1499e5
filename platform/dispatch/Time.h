#pragma once
// Time for the dispatch stand-in: deadlines on the monotonic clock and timeouts as durations.
// A timeout of kForever means "wait without limit"; the platform's wall-clock deadlines are taken
// as monotonic ones here, since nothing in this program needs a timer to follow a clock change.
#include <chrono>
#include <functional>

namespace dispatch {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::nanoseconds;
using TimePoint = Clock::time_point;
using Block = std::function<void()>;

inline constexpr Duration kForever = Duration::max();

// `value` seconds as a Duration: negative and NaN give zero, values too large give kForever.
Duration seconds(double value);

// Now plus `timeout`, saturating at TimePoint::max() for kForever and huge values.
TimePoint deadlineAfter(Duration timeout);

}  // namespace dispatch
