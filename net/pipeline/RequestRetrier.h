#pragma once
// RequestRetrier decides whether a request whose task failed (or whose adapter failed before it
// had a task) is tried again, and after how long.
#include <functional>
#include <memory>

#include "net/pipeline/Result.h"

namespace pipeline {

class Request;
class SessionManager;

// The retrier's answer: whether to retry, and the delay in seconds before the retry starts.
using RequestRetryCompletion = std::function<void(bool shouldRetry, double timeDelay)>;

class RequestRetrier {
 public:
  virtual ~RequestRetrier() = default;
  // Decides about `request`, which failed with `error`, and calls `completion` exactly once, from
  // any thread, now or later.
  virtual void shouldRetry(const std::shared_ptr<SessionManager>& manager, const std::shared_ptr<Request>& request,
                           const AnyError& error, RequestRetryCompletion completion) = 0;
};

}  // namespace pipeline
