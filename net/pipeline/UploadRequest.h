#pragma once
// UploadRequest is the request of an upload task: a data request (the server's answer is
// collected and handled as for any data request) whose body comes from bytes, a file or a
// stream, with the progress of the body sent.
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "net/pipeline/DataRequest.h"
#include "net/pipeline/UploadTaskDelegate.h"
#include "platform/net/InputStream.h"

namespace pipeline {

class UploadRequest : public DataRequest {
 public:
  // The description of an upload task: the body (bytes, a file or a stream) and the URL request.
  class Uploadable : public TaskConvertible {
   public:
    static std::shared_ptr<Uploadable> data(foundation::Data bytes, net::URLRequest urlRequest);
    static std::shared_ptr<Uploadable> file(net::URL fileURL, net::URLRequest urlRequest);
    static std::shared_ptr<Uploadable> stream(std::shared_ptr<net::InputStream> stream, net::URLRequest urlRequest);

    const net::URLRequest& urlRequest() const { return urlRequest_; }
    const foundation::Data* bytes() const { return std::get_if<foundation::Data>(&body_); }
    const net::URL* fileURL() const { return std::get_if<net::URL>(&body_); }
    const std::shared_ptr<net::InputStream>* inputStream() const {
      return std::get_if<std::shared_ptr<net::InputStream>>(&body_);
    }
    // An upload task for the (adapted) request. A stream body becomes the request's body stream,
    // from which the session reads the first body.
    net::TaskPtr createTask(const net::URLSessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                            dispatch::Queue& queue) const override;

   private:
    using Body = std::variant<foundation::Data, net::URL, std::shared_ptr<net::InputStream>>;
    Uploadable(Body body, net::URLRequest urlRequest) : body_(std::move(body)), urlRequest_(std::move(urlRequest)) {}
    Body body_;
    net::URLRequest urlRequest_;
  };

  static std::shared_ptr<UploadRequest> create(net::URLSessionPtr session, RequestTask requestTask,
                                               std::optional<AnyError> error = std::nullopt);

  // The task's request, else the Uploadable's.
  std::optional<net::URLRequest> request() const override;
  // The progress of the body sent.
  std::shared_ptr<Progress> uploadProgress() const;
  // The task delegate, an UploadTaskDelegate for this kind. Never null.
  std::shared_ptr<UploadTaskDelegate> uploadDelegate() const;
  // Reports the upload progress to `closure` on `queue` (the main queue when null).
  UploadRequest& uploadProgress(std::function<void(const std::shared_ptr<Progress>&)> closure, QueuePtr queue = nullptr);

 private:
  UploadRequest(net::URLSessionPtr session, RequestTask requestTask, std::optional<AnyError> error)
      : DataRequest(std::move(session), std::move(requestTask), std::move(error)) {}
};

}  // namespace pipeline
