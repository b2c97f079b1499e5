#pragma once
// AdaptError marks an error thrown by a session manager's request adapter while a task was being
// created, so that the manager can report the adapter's own error instead of a task failure.
// A plain value with no text of its own; the wrapped error is shared, not copied.
#include "net/pipeline/Result.h"

namespace pipeline {

struct AdaptError {
  // The adapter's error.
  AnyError error;
};

}  // namespace pipeline
