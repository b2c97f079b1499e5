#pragma once
// DataRequest is the request of a data task: the body is collected in memory (or handed to a
// stream callback), with download progress, validations over the body, and the response
// handlers that hand a DataResponse to the caller on a queue of its choice. This is the road on
// which the application downloads remote hostfiles.
//
// Response handlers wait on the task delegate's gate: they run after the task completed, one at
// a time in the order added, serialize on the gate's thread and deliver the callback
// asynchronously on the given queue, or the main queue when none is given.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/pipeline/DataTaskDelegate.h"
#include "net/pipeline/Request.h"
#include "net/pipeline/Response.h"
#include "net/pipeline/ResponseSerialization.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/JSONSerialization.h"

namespace pipeline {

class DataRequest : public Request {
 public:
  // The description of a data task: one URL request.
  class Requestable : public TaskConvertible {
   public:
    explicit Requestable(net::URLRequest urlRequest) : urlRequest_(std::move(urlRequest)) {}
    const net::URLRequest& urlRequest() const { return urlRequest_; }
    // A data task for the (adapted) request.
    net::TaskPtr createTask(const net::URLSessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                            dispatch::Queue& queue) const override;

   private:
    net::URLRequest urlRequest_;
  };

  // A check over the URL request, the HTTP response and the collected body.
  using Validation = std::function<ValidationResult(const std::optional<net::URLRequest>&,
                                                    const net::HTTPURLResponse&, const std::optional<foundation::Data>&)>;
  using QueuePtr = std::shared_ptr<dispatch::Queue>;

  // A request over `requestTask` (its kind must be data or upload) with `error` recorded.
  static std::shared_ptr<DataRequest> create(net::URLSessionPtr session, RequestTask requestTask,
                                             std::optional<AnyError> error = std::nullopt);

  // The task's request, else the Requestable's.
  std::optional<net::URLRequest> request() const override;
  // The progress of the received body.
  std::shared_ptr<Progress> progress() const;
  // The task delegate, which is a DataTaskDelegate for this kind. Never null.
  std::shared_ptr<DataTaskDelegate> dataDelegate() const;

  // Hands each received chunk to `closure` instead of collecting it; null collects again.
  DataRequest& stream(std::function<void(const foundation::Data&)> closure = nullptr);
  // Reports the download progress to `closure` on `queue` (the main queue when null).
  DataRequest& downloadProgress(std::function<void(const std::shared_ptr<Progress>&)> closure,
                                QueuePtr queue = nullptr);

  // Validations; each appends one deferred check, run in order when the task completes. A
  // check runs only when there is an HTTP response and no error is recorded yet.
  DataRequest& validate(Validation validation);
  // Fails with unacceptableStatusCode unless the status is one of `statusCode`.
  DataRequest& validate(std::vector<int> statusCode);
  // Fails with missingContentType or unacceptableContentType unless the response's MIME type is
  // accepted by one of `contentType` (empty bodies always pass).
  DataRequest& validate(std::vector<std::string> contentType);
  // Status 200 to 299, then the types of the request's "Accept" header ("*/*" without one).
  DataRequest& validate();

  // Response handlers (beside the HTTP response accessor of the base).
  using Request::response;
  DataRequest& response(QueuePtr queue, std::function<void(const DefaultDataResponse&)> completionHandler);
  DataRequest& response(std::function<void(const DefaultDataResponse&)> completionHandler) {
    return response(nullptr, std::move(completionHandler));
  }
  template <DataResponseSerializerProtocol Serializer>
  DataRequest& response(QueuePtr queue, Serializer responseSerializer,
                        std::function<void(const DataResponse<typename Serializer::SerializedObject>&)> completion);

  // The built-in serializers.
  static DataResponseSerializer<foundation::Data> dataResponseSerializer();
  static DataResponseSerializer<std::string> stringResponseSerializer(
      std::optional<foundation::StringEncoding> encoding = std::nullopt);
  static DataResponseSerializer<foundation::Value> jsonResponseSerializer(
      unsigned options = foundation::JSONReadingAllowFragments);
  static DataResponseSerializer<foundation::Value> propertyListResponseSerializer(unsigned options = 0);

  // Their handlers, with the queue (null: main) first as in the full form.
  DataRequest& responseData(QueuePtr queue, std::function<void(const DataResponse<foundation::Data>&)> completion);
  DataRequest& responseData(std::function<void(const DataResponse<foundation::Data>&)> completion) {
    return responseData(nullptr, std::move(completion));
  }
  DataRequest& responseString(QueuePtr queue, std::optional<foundation::StringEncoding> encoding,
                              std::function<void(const DataResponse<std::string>&)> completion);
  DataRequest& responseString(std::function<void(const DataResponse<std::string>&)> completion) {
    return responseString(nullptr, std::nullopt, std::move(completion));
  }
  DataRequest& responseJSON(QueuePtr queue, unsigned options,
                            std::function<void(const DataResponse<foundation::Value>&)> completion);
  DataRequest& responseJSON(std::function<void(const DataResponse<foundation::Value>&)> completion) {
    return responseJSON(nullptr, foundation::JSONReadingAllowFragments, std::move(completion));
  }
  DataRequest& responsePropertyList(QueuePtr queue, unsigned options,
                                    std::function<void(const DataResponse<foundation::Value>&)> completion);
  DataRequest& responsePropertyList(std::function<void(const DataResponse<foundation::Value>&)> completion) {
    return responsePropertyList(nullptr, 0, std::move(completion));
  }

 protected:
  DataRequest(net::URLSessionPtr session, RequestTask requestTask, std::optional<AnyError> error)
      : Request(std::move(session), std::move(requestTask), std::move(error)) {}
  std::shared_ptr<DataRequest> sharedDataRequest() { return std::static_pointer_cast<DataRequest>(shared_from_this()); }
};

template <DataResponseSerializerProtocol Serializer>
DataRequest& DataRequest::response(
    QueuePtr queue, Serializer responseSerializer,
    std::function<void(const DataResponse<typename Serializer::SerializedObject>&)> completion) {
  using Value = typename Serializer::SerializedObject;
  auto self = sharedDataRequest();
  auto taskDelegate = delegate();
  taskDelegate->queue()->addOperation([self, taskDelegate, queue = std::move(queue),
                                       serializer = std::move(responseSerializer), completion = std::move(completion)] {
    const auto urlRequest = self->request();
    const auto httpResponse = self->response();
    const auto body = taskDelegate->sharedData();
    Result<Value> result = serializer.serializeResponse(urlRequest, httpResponse, *body, taskDelegate->error());
    DataResponse<Value> value(urlRequest, httpResponse, body, std::move(result), self->captureTimeline());
    value.attachMetrics(taskDelegate->metrics());
    auto target = queue ? queue : dispatch::Queue::main();
    target->async([completion, value = std::move(value)] { completion(value); });
  });
  return *this;
}

}  // namespace pipeline
