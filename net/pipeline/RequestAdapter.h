#pragma once
// RequestAdapter lets a session manager's owner change every URL request before its task is
// created (adding a token, rewriting the host), including the re-created task of a retry.
#include "platform/net/URLRequest.h"

namespace pipeline {

class RequestAdapter {
 public:
  virtual ~RequestAdapter() = default;
  // The request to send instead of `urlRequest`. May throw; what it throws reaches the request's
  // response handlers as its error. Called on the thread that creates the task.
  virtual net::URLRequest adapt(const net::URLRequest& urlRequest) = 0;
};

}  // namespace pipeline
