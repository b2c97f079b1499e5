#include "net/pipeline/DataRequest.h"

namespace pipeline {

net::TaskPtr DataRequest::Requestable::createTask(const net::URLSessionPtr& session,
                                                  const std::shared_ptr<RequestAdapter>& adapter,
                                                  dispatch::Queue& queue) const {
  const net::URLRequest request = adapted(urlRequest_, adapter);
  return onQueue(queue, [&] { return session->dataTask(request); });
}

std::shared_ptr<DataRequest> DataRequest::create(net::URLSessionPtr session, RequestTask requestTask,
                                                 std::optional<AnyError> error) {
  std::shared_ptr<DataRequest> request(new DataRequest(std::move(session), std::move(requestTask), std::move(error)));
  request->installEndTimeOperation();
  return request;
}

std::optional<net::URLRequest> DataRequest::request() const {
  if (auto base = Request::request()) return base;
  if (auto requestable = std::dynamic_pointer_cast<const Requestable>(originalTask())) return requestable->urlRequest();
  return std::nullopt;
}

std::shared_ptr<DataTaskDelegate> DataRequest::dataDelegate() const {
  return std::static_pointer_cast<DataTaskDelegate>(delegate());
}

std::shared_ptr<Progress> DataRequest::progress() const { return dataDelegate()->progress(); }

DataRequest& DataRequest::stream(std::function<void(const foundation::Data&)> closure) {
  dataDelegate()->dataStream.set(std::move(closure));
  return *this;
}

DataRequest& DataRequest::downloadProgress(std::function<void(const std::shared_ptr<Progress>&)> closure,
                                           QueuePtr queue) {
  dataDelegate()->progressHandler.set(ProgressHandler{std::move(closure), queue ? queue : dispatch::Queue::main()});
  return *this;
}

DataRequest& DataRequest::response(QueuePtr queue, std::function<void(const DefaultDataResponse&)> completionHandler) {
  auto self = sharedDataRequest();
  auto taskDelegate = delegate();
  taskDelegate->queue()->addOperation(
      [self, taskDelegate, queue = std::move(queue), completion = std::move(completionHandler)] {
        auto target = queue ? queue : dispatch::Queue::main();
        target->async([self, taskDelegate, completion] {
          DefaultDataResponse value(self->request(), self->response(), taskDelegate->sharedData(),
                                    taskDelegate->error(), self->captureTimeline());
          value.attachMetrics(taskDelegate->metrics());
          completion(value);
        });
      });
  return *this;
}

DataRequest& DataRequest::responseData(QueuePtr queue,
                                       std::function<void(const DataResponse<foundation::Data>&)> completion) {
  return response(std::move(queue), dataResponseSerializer(), std::move(completion));
}

DataRequest& DataRequest::responseString(QueuePtr queue, std::optional<foundation::StringEncoding> encoding,
                                         std::function<void(const DataResponse<std::string>&)> completion) {
  return response(std::move(queue), stringResponseSerializer(encoding), std::move(completion));
}

DataRequest& DataRequest::responseJSON(QueuePtr queue, unsigned options,
                                       std::function<void(const DataResponse<foundation::Value>&)> completion) {
  return response(std::move(queue), jsonResponseSerializer(options), std::move(completion));
}

DataRequest& DataRequest::responsePropertyList(QueuePtr queue, unsigned options,
                                               std::function<void(const DataResponse<foundation::Value>&)> completion) {
  return response(std::move(queue), propertyListResponseSerializer(options), std::move(completion));
}

}  // namespace pipeline
