#pragma once
// TaskConvertible is the description from which a request's URL session task is created: the
// session manager creates the first task from it, and a new one from the same description when
// the request is retried. The kinds' descriptions (Requestable, Downloadable, Uploadable,
// Streamable) live beside their requests.
#include <memory>

#include "net/pipeline/RequestAdapter.h"
#include "platform/dispatch/Queue.h"
#include "platform/net/URLSession.h"

namespace pipeline {

class TaskConvertible {
 public:
  virtual ~TaskConvertible() = default;
  // A new, suspended task in `session`, created synchronously on `queue` (which must not be the
  // calling thread's queue). The adapter, when given and used by the kind, adapts the URL request
  // first; what it throws is thrown as an AnyError holding an AdaptError.
  virtual net::TaskPtr createTask(const net::URLSessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                                  dispatch::Queue& queue) const = 0;

 protected:
  // `urlRequest` through `adapter` (unchanged without one); adapter failures become AdaptError.
  static net::URLRequest adapted(const net::URLRequest& urlRequest, const std::shared_ptr<RequestAdapter>& adapter);
  // Runs `make` synchronously on `queue` and returns the task it made.
  template <class Make>
  static net::TaskPtr onQueue(dispatch::Queue& queue, Make&& make) {
    net::TaskPtr task;
    queue.sync([&] { task = make(); });
    return task;
  }
};

}  // namespace pipeline
