#pragma once
// StreamRequest is the request of a TCP stream task to a host and port. The URL session of this
// system creates and tracks such tasks (they can be held, resumed and cancelled) but opens no
// connection for them, and there is no network-service browser to name a service by; so only the
// host-and-port description exists here.
#include <memory>
#include <optional>
#include <string>

#include "net/pipeline/Request.h"

namespace pipeline {

class StreamRequest : public Request {
 public:
  // The description of a stream task: a host name and a port. Never adapted; never fails.
  class Streamable : public TaskConvertible {
   public:
    Streamable(std::string hostName, int port) : hostName_(std::move(hostName)), port_(port) {}
    const std::string& hostName() const { return hostName_; }
    int port() const { return port_; }
    net::TaskPtr createTask(const net::URLSessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                            dispatch::Queue& queue) const override;

   private:
    std::string hostName_;
    int port_;
  };

  static std::shared_ptr<StreamRequest> create(net::URLSessionPtr session, RequestTask requestTask,
                                               std::optional<AnyError> error = std::nullopt);

 private:
  StreamRequest(net::URLSessionPtr session, RequestTask requestTask, std::optional<AnyError> error)
      : Request(std::move(session), std::move(requestTask), std::move(error)) {}
};

}  // namespace pipeline
