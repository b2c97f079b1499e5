#include "net/pipeline/DownloadRequest.h"

#include "net/pipeline/Notifications.h"

namespace pipeline {

std::shared_ptr<DownloadRequest::Downloadable> DownloadRequest::Downloadable::request(net::URLRequest urlRequest) {
  return std::shared_ptr<Downloadable>(new Downloadable(std::move(urlRequest)));
}

std::shared_ptr<DownloadRequest::Downloadable> DownloadRequest::Downloadable::resumeData(foundation::Data data) {
  return std::shared_ptr<Downloadable>(new Downloadable(std::move(data)));
}

net::TaskPtr DownloadRequest::Downloadable::createTask(const net::URLSessionPtr& session,
                                                       const std::shared_ptr<RequestAdapter>& adapter,
                                                       dispatch::Queue& queue) const {
  if (const auto* bytes = resumeDataBytes()) {
    return onQueue(queue, [&] { return session->downloadTaskWithResumeData(*bytes); });
  }
  const net::URLRequest request = adapted(*urlRequest(), adapter);
  return onQueue(queue, [&] { return session->downloadTask(request); });
}

std::shared_ptr<DownloadRequest> DownloadRequest::create(net::URLSessionPtr session, RequestTask requestTask,
                                                         std::optional<AnyError> error) {
  std::shared_ptr<DownloadRequest> request(
      new DownloadRequest(std::move(session), std::move(requestTask), std::move(error)));
  request->installEndTimeOperation();
  return request;
}

std::optional<net::URLRequest> DownloadRequest::request() const {
  if (auto base = Request::request()) return base;
  if (auto downloadable = std::dynamic_pointer_cast<const Downloadable>(originalTask())) {
    if (const auto* urlRequest = downloadable->urlRequest()) return *urlRequest;
  }
  return std::nullopt;
}

std::shared_ptr<DownloadTaskDelegate> DownloadRequest::downloadDelegate() const {
  return std::static_pointer_cast<DownloadTaskDelegate>(delegate());
}

std::optional<foundation::Data> DownloadRequest::resumeData() const { return downloadDelegate()->resumeData(); }

std::shared_ptr<Progress> DownloadRequest::progress() const { return downloadDelegate()->progress(); }

void DownloadRequest::cancel() { cancel(true); }

void DownloadRequest::cancel(bool createResumeData) {
  auto current = task();
  if (!current) return;
  auto downloadTask = std::dynamic_pointer_cast<net::URLSessionDownloadTask>(current);
  if (createResumeData && downloadTask) {
    auto self = sharedDownloadRequest();
    downloadTask->cancelByProducingResumeData(
        [self](std::optional<foundation::Data> data) { self->downloadDelegate()->setResumeData(std::move(data)); });
  } else {
    current->cancel();
  }
  postTaskNotification(Notification::Name::Task::DidCancel, current);
}

DownloadRequest& DownloadRequest::downloadProgress(std::function<void(const std::shared_ptr<Progress>&)> closure,
                                                   QueuePtr queue) {
  downloadDelegate()->progressHandler.set(ProgressHandler{std::move(closure), queue ? queue : dispatch::Queue::main()});
  return *this;
}

DownloadRequest::DownloadDestination DownloadRequest::suggestedDownloadDestination(
    foundation::SearchPathDirectory directory, SearchPathDomainMask domain) {
  return [directory, domain](const net::URL& temporaryURL, const net::HTTPURLResponse& response) {
    const bool userDomain = (static_cast<unsigned>(domain) & static_cast<unsigned>(SearchPathDomainMask::user)) != 0;
    if (!userDomain) return std::make_pair(temporaryURL, DownloadOptions());
    const std::string folder = foundation::FileManager::defaultManager().searchPathDirectory(directory);
    // The name comes from the server: only its last path component, made safe, may be used,
    // so that a crafted name cannot place the file outside the folder.
    std::string name = response.suggestedFilename();
    if (auto slash = name.find_last_of('/'); slash != std::string::npos) name = name.substr(slash + 1);
    const std::string safe = net::sanitizedFilename(name).value_or("Unknown");
    return std::make_pair(net::URL::fileURLWithPath(folder, true).appendingPathComponent(safe), DownloadOptions());
  };
}

DownloadRequest& DownloadRequest::response(QueuePtr queue,
                                           std::function<void(const DefaultDownloadResponse&)> completionHandler) {
  auto self = sharedDownloadRequest();
  auto taskDelegate = downloadDelegate();
  taskDelegate->queue()->addOperation(
      [self, taskDelegate, queue = std::move(queue), completion = std::move(completionHandler)] {
        auto target = queue ? queue : dispatch::Queue::main();
        target->async([self, taskDelegate, completion] {
          DefaultDownloadResponse value(self->request(), self->response(), taskDelegate->temporaryURL(),
                                        taskDelegate->destinationURL(), taskDelegate->resumeData(),
                                        taskDelegate->error(), self->captureTimeline());
          value.attachMetrics(taskDelegate->metrics());
          completion(value);
        });
      });
  return *this;
}

DownloadRequest& DownloadRequest::responseData(
    QueuePtr queue, std::function<void(const DownloadResponse<foundation::Data>&)> completion) {
  return response(std::move(queue), dataResponseSerializer(), std::move(completion));
}

DownloadRequest& DownloadRequest::responseString(QueuePtr queue, std::optional<foundation::StringEncoding> encoding,
                                                 std::function<void(const DownloadResponse<std::string>&)> completion) {
  return response(std::move(queue), stringResponseSerializer(encoding), std::move(completion));
}

DownloadRequest& DownloadRequest::responseJSON(
    QueuePtr queue, unsigned options, std::function<void(const DownloadResponse<foundation::Value>&)> completion) {
  return response(std::move(queue), jsonResponseSerializer(options), std::move(completion));
}

DownloadRequest& DownloadRequest::responsePropertyList(
    QueuePtr queue, unsigned options, std::function<void(const DownloadResponse<foundation::Value>&)> completion) {
  return response(std::move(queue), propertyListResponseSerializer(options), std::move(completion));
}

}  // namespace pipeline
