#include "net/pipeline/UploadRequest.h"

namespace pipeline {

std::shared_ptr<UploadRequest::Uploadable> UploadRequest::Uploadable::data(foundation::Data bytes,
                                                                          net::URLRequest urlRequest) {
  return std::shared_ptr<Uploadable>(new Uploadable(std::move(bytes), std::move(urlRequest)));
}

std::shared_ptr<UploadRequest::Uploadable> UploadRequest::Uploadable::file(net::URL fileURL,
                                                                          net::URLRequest urlRequest) {
  return std::shared_ptr<Uploadable>(new Uploadable(std::move(fileURL), std::move(urlRequest)));
}

std::shared_ptr<UploadRequest::Uploadable> UploadRequest::Uploadable::stream(std::shared_ptr<net::InputStream> stream,
                                                                            net::URLRequest urlRequest) {
  return std::shared_ptr<Uploadable>(new Uploadable(std::move(stream), std::move(urlRequest)));
}

net::TaskPtr UploadRequest::Uploadable::createTask(const net::URLSessionPtr& session,
                                                   const std::shared_ptr<RequestAdapter>& adapter,
                                                   dispatch::Queue& queue) const {
  net::URLRequest request = adapted(urlRequest_, adapter);
  if (const auto* body = bytes()) return onQueue(queue, [&] { return session->uploadTask(request, *body); });
  if (const auto* file = fileURL()) return onQueue(queue, [&] { return session->uploadTaskFromFile(request, *file); });
  request.setHTTPBodyStream(*inputStream());
  return onQueue(queue, [&] { return session->uploadTaskWithStreamedRequest(request); });
}

std::shared_ptr<UploadRequest> UploadRequest::create(net::URLSessionPtr session, RequestTask requestTask,
                                                     std::optional<AnyError> error) {
  std::shared_ptr<UploadRequest> request(new UploadRequest(std::move(session), std::move(requestTask), std::move(error)));
  request->installEndTimeOperation();
  return request;
}

std::optional<net::URLRequest> UploadRequest::request() const {
  if (auto answer = DataRequest::request()) return answer;
  if (auto uploadable = std::dynamic_pointer_cast<const Uploadable>(originalTask())) return uploadable->urlRequest();
  return std::nullopt;
}

std::shared_ptr<UploadTaskDelegate> UploadRequest::uploadDelegate() const {
  return std::static_pointer_cast<UploadTaskDelegate>(delegate());
}

std::shared_ptr<Progress> UploadRequest::uploadProgress() const { return uploadDelegate()->uploadProgress(); }

UploadRequest& UploadRequest::uploadProgress(std::function<void(const std::shared_ptr<Progress>&)> closure,
                                             QueuePtr queue) {
  uploadDelegate()->uploadProgressHandler.set(
      ProgressHandler{std::move(closure), queue ? queue : dispatch::Queue::main()});
  return *this;
}

}  // namespace pipeline
