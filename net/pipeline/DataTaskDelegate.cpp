#include "net/pipeline/DataTaskDelegate.h"

#include "platform/foundation/ReserveData.h"

namespace pipeline {

namespace {

// An announced length beyond any sane body is not trusted with memory up front.
constexpr std::int64_t kLargestReservedBody = std::int64_t{1} << 30;

std::shared_ptr<std::optional<foundation::Data>> emptyBody() {
  return std::make_shared<std::optional<foundation::Data>>(foundation::Data());
}

}  // namespace

DataTaskDelegate::DataTaskDelegate(net::TaskPtr task)
    : TaskDelegate(std::move(task)), progress_(Progress::create(0)), body_(emptyBody()) {}

std::shared_ptr<Progress> DataTaskDelegate::progress() const {
  std::lock_guard lock(stateMutex_);
  return progress_;
}

std::int64_t DataTaskDelegate::totalBytesReceived() const {
  std::lock_guard lock(stateMutex_);
  return totalBytesReceived_;
}

foundation::Data DataTaskDelegate::mutableData() const {
  std::lock_guard lock(stateMutex_);
  return **body_;
}

std::optional<std::int64_t> DataTaskDelegate::expectedContentLength() const {
  std::lock_guard lock(stateMutex_);
  return expectedContentLength_;
}

std::optional<foundation::Data> DataTaskDelegate::data() const {
  if (dataStream.get()) return std::nullopt;
  return mutableData();
}

SharedBody DataTaskDelegate::sharedData() const {
  if (dataStream.get()) return shareBody(std::nullopt);
  std::lock_guard lock(stateMutex_);
  bodyShared_ = true;
  return body_;
}

void DataTaskDelegate::reset() {
  TaskDelegate::reset();
  std::lock_guard lock(stateMutex_);
  progress_ = Progress::create(0);
  totalBytesReceived_ = 0;
  body_ = emptyBody();
  bodyShared_ = false;
  expectedContentLength_.reset();
}

void DataTaskDelegate::didReceiveResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                          const std::shared_ptr<const net::URLResponse>& response,
                                          const net::ResponseCompletion& completion) {
  {
    std::lock_guard lock(stateMutex_);
    expectedContentLength_ = response ? response->expectedContentLength() : net::kURLResponseUnknownLength;
  }
  auto disposition = net::URLSessionResponseDisposition::Allow;
  if (auto override = dataTaskDidReceiveResponse.get()) disposition = override(session, task, response);
  completion(disposition);
}

void DataTaskDelegate::didBecomeDownloadTask(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                             const net::DownloadTaskPtr& downloadTask) {
  if (auto override = dataTaskDidBecomeDownloadTask.get()) override(session, task, downloadTask);
}

void DataTaskDelegate::didReceiveData(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                      const foundation::Data& data) {
  markInitialResponse();
  if (auto override = dataTaskDidReceiveData.get()) {
    override(session, task, data);
    return;
  }
  auto stream = dataStream.get();
  const auto response = task ? task->response() : nullptr;
  std::shared_ptr<Progress> progress;
  {
    std::lock_guard lock(stateMutex_);
    if (!stream) append(data, response ? response->expectedContentLength() : net::kURLResponseUnknownLength);
    totalBytesReceived_ += static_cast<std::int64_t>(data.size());
    progress = progress_;
    progress->setTotalUnitCount(response ? response->expectedContentLength() : net::kURLSessionTransferSizeUnknown);
    progress->setCompletedUnitCount(totalBytesReceived_);
  }
  if (stream) stream(data);
  scheduleProgress(progressHandler.get(), [](const TaskDelegate& self) {
    return static_cast<const DataTaskDelegate&>(self).progress();
  });
}

void DataTaskDelegate::append(const foundation::Data& data, std::int64_t expected) {
  if (bodyShared_) {
    body_ = std::make_shared<std::optional<foundation::Data>>(**body_);
    bodyShared_ = false;
  }
  foundation::Data& body = **body_;
  // Room for the announced length at once saves copying a large body over and over as it grows.
  if (body.empty() && expected > 0 && expected <= kLargestReservedBody) {
    foundation::reserveData(body, static_cast<std::size_t>(expected));
  }
  body.insert(body.end(), data.begin(), data.end());
}

void DataTaskDelegate::willCacheResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                         const std::shared_ptr<const net::CachedURLResponse>& proposed,
                                         const net::CacheCompletion& completion) {
  auto override = dataTaskWillCacheResponse.get();
  completion(override ? override(session, task, proposed) : proposed);
}

}  // namespace pipeline
