#pragma once
// The delayed run the client's retry paths use: a callback scheduled on a dispatch queue a number
// of seconds from now (an added operation of dispatch queues, a free function here).
#include "platform/dispatch/Queue.h"

namespace pipeline {

// Schedules `closure` on `queue` at now plus `delay` seconds; a negative delay runs it as soon as
// the queue allows. Returns at once. Thread-safe.
inline void after(dispatch::Queue& queue, double delay, dispatch::Block closure) {
  queue.asyncAfter(delay, std::move(closure));
}

}  // namespace pipeline
