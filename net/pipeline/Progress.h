#pragma once
// The client's progress objects are the foundation's (total and completed bytes, thread-safe);
// a progress callback is paired here with the queue it runs on.
#include <functional>
#include <memory>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Progress.h"

namespace pipeline {

using Progress = foundation::Progress;

// A progress callback and the queue it runs on (the main queue when none is given).
struct ProgressHandler {
  std::function<void(const std::shared_ptr<Progress>&)> closure;
  std::shared_ptr<dispatch::Queue> queue;
};

}  // namespace pipeline
