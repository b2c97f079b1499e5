#include "net/pipeline/StreamRequest.h"

namespace pipeline {

net::TaskPtr StreamRequest::Streamable::createTask(const net::URLSessionPtr& session,
                                                   const std::shared_ptr<RequestAdapter>&,
                                                   dispatch::Queue& queue) const {
  return onQueue(queue, [&] { return session->streamTask(hostName_, port_); });
}

std::shared_ptr<StreamRequest> StreamRequest::create(net::URLSessionPtr session, RequestTask requestTask,
                                                     std::optional<AnyError> error) {
  std::shared_ptr<StreamRequest> request(new StreamRequest(std::move(session), std::move(requestTask), std::move(error)));
  request->installEndTimeOperation();
  return request;
}

}  // namespace pipeline
