#include "platform/net/URLSession.h"

#include <cstdio>

#include "platform/net/detail/ResumeData.h"
#include "platform/net/detail/SessionCore.h"

namespace net {

using detail::TaskSetup;

std::shared_ptr<URLSession> URLSession::shared() {
  static auto* session =
      new std::shared_ptr<URLSession>(create(URLSessionConfiguration::defaultSessionConfiguration()));
  return *session;
}

std::shared_ptr<URLSession> URLSession::create(URLSessionConfiguration configuration,
                                               std::shared_ptr<URLSessionDelegate> delegate,
                                               std::shared_ptr<foundation::OperationQueue> delegateQueue) {
  if (!delegateQueue) {
    delegateQueue = foundation::OperationQueue::create();
    delegateQueue->setMaxConcurrentOperationCount(1);
    delegateQueue->setName("URLSession delegate queue");
  }
  std::shared_ptr<URLSession> session(new URLSession());
  session->core_ = std::make_shared<detail::SessionCore>(std::move(configuration), std::move(delegate),
                                                         std::move(delegateQueue));
  session->core_->start(session);
  return session;
}

URLSession::~URLSession() = default;

const URLSessionConfiguration& URLSession::configuration() const { return core_->configuration(); }
std::shared_ptr<URLSessionDelegate> URLSession::delegate() const { return core_->delegate(); }
const std::shared_ptr<foundation::OperationQueue>& URLSession::delegateQueue() const { return core_->delegateQueue(); }
std::string URLSession::sessionDescription() const { return core_->sessionDescription(); }
void URLSession::setSessionDescription(std::string description) { core_->setSessionDescription(std::move(description)); }

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URLRequest& request) {
  return core_->makeTask<URLSessionDataTask>(TaskSetup{}, request);
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URL& url) { return dataTask(URLRequest(url)); }

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URLRequest& request, DataCompletionHandler handler) {
  TaskSetup setup;
  setup.dataHandler = std::move(handler);
  return core_->makeTask<URLSessionDataTask>(std::move(setup), request);
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(const URLRequest& request, foundation::Data body) {
  return uploadTask(request, std::move(body), nullptr);
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(const URLRequest& request, foundation::Data body,
                                                             DataCompletionHandler handler) {
  TaskSetup setup;
  setup.body = TaskSetup::Body::Data;
  setup.data = std::make_shared<const foundation::Data>(std::move(body));
  setup.dataHandler = std::move(handler);
  return core_->makeTask<URLSessionUploadTask>(std::move(setup), request);
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskFromFile(const URLRequest& request, const URL& fileURL) {
  return uploadTaskFromFile(request, fileURL, nullptr);
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskFromFile(const URLRequest& request, const URL& fileURL,
                                                                     DataCompletionHandler handler) {
  TaskSetup setup;
  setup.body = TaskSetup::Body::File;
  setup.filePath = fileURL.path();
  setup.dataHandler = std::move(handler);
  return core_->makeTask<URLSessionUploadTask>(std::move(setup), request);
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request) {
  TaskSetup setup;
  setup.body = TaskSetup::Body::Stream;
  setup.stream = request.httpBodyStream();
  return core_->makeTask<URLSessionUploadTask>(std::move(setup), request);
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(const URLRequest& request) {
  return core_->makeTask<URLSessionDownloadTask>(TaskSetup{}, request);
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(const URLRequest& request,
                                                                 DownloadCompletionHandler handler) {
  TaskSetup setup;
  setup.downloadHandler = std::move(handler);
  return core_->makeTask<URLSessionDownloadTask>(std::move(setup), request);
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const foundation::Data& resumeData) {
  return downloadTaskWithResumeData(resumeData, nullptr);
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const foundation::Data& resumeData,
                                                                               DownloadCompletionHandler handler) {
  TaskSetup setup;
  setup.resumeData = resumeData;
  setup.downloadHandler = std::move(handler);
  std::optional<URLRequest> request;
  if (auto decoded = detail::ResumeDataRequest(resumeData)) request = *decoded;
  return core_->makeTask<URLSessionDownloadTask>(std::move(setup), request);
}

std::shared_ptr<URLSessionStreamTask> URLSession::streamTask(const std::string& host, int port) {
  return core_->makeTask<URLSessionStreamTask>(TaskSetup{}, host, port);
}

void URLSession::getTasks(std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                                             std::vector<std::shared_ptr<URLSessionUploadTask>>,
                                             std::vector<std::shared_ptr<URLSessionDownloadTask>>)>
                              completion) {
  auto tasks = allTasks();
  core_->deliver([tasks, completion] {
    std::vector<std::shared_ptr<URLSessionDataTask>> data;
    std::vector<std::shared_ptr<URLSessionUploadTask>> upload;
    std::vector<std::shared_ptr<URLSessionDownloadTask>> download;
    for (const auto& task : tasks) {
      switch (task->kind()) {
        case URLSessionTask::Kind::Data: data.push_back(std::static_pointer_cast<URLSessionDataTask>(task)); break;
        case URLSessionTask::Kind::Upload: upload.push_back(std::static_pointer_cast<URLSessionUploadTask>(task)); break;
        case URLSessionTask::Kind::Download:
          download.push_back(std::static_pointer_cast<URLSessionDownloadTask>(task));
          break;
        case URLSessionTask::Kind::Stream: break;
      }
    }
    completion(std::move(data), std::move(upload), std::move(download));
  });
}

void URLSession::getAllTasks(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion) {
  auto tasks = allTasks();
  core_->deliver([tasks, completion] { completion(tasks); });
}

std::vector<std::shared_ptr<URLSessionTask>> URLSession::allTasks() const { return core_->liveTasks(); }

void URLSession::finishTasksAndInvalidate() { core_->invalidate(false); }
void URLSession::invalidateAndCancel() { core_->invalidate(true); }
bool URLSession::isInvalidated() const { return core_->isInvalidated(); }

void URLSession::setAssociatedObject(const std::string& key, std::shared_ptr<void> value) {
  core_->setAssociatedObject(key, std::move(value));
}

std::shared_ptr<void> URLSession::associatedObject(const std::string& key) const { return core_->associatedObject(key); }

std::string URLSession::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("<URLSession: ") + address + ">";
}

}  // namespace net
