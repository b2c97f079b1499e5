#include "net/pipeline/DataTaskDelegate.h"

namespace pipeline {

DataTaskDelegate::DataTaskDelegate(net::TaskPtr task) : TaskDelegate(std::move(task)), progress_(Progress::create(0)) {}

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
  return mutableData_;
}

std::optional<std::int64_t> DataTaskDelegate::expectedContentLength() const {
  std::lock_guard lock(stateMutex_);
  return expectedContentLength_;
}

std::optional<foundation::Data> DataTaskDelegate::data() const {
  if (dataStream.get()) return std::nullopt;
  return mutableData();
}

void DataTaskDelegate::reset() {
  TaskDelegate::reset();
  std::lock_guard lock(stateMutex_);
  progress_ = Progress::create(0);
  totalBytesReceived_ = 0;
  mutableData_.clear();
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
    if (!stream) mutableData_.insert(mutableData_.end(), data.begin(), data.end());
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

void DataTaskDelegate::willCacheResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                         const std::shared_ptr<const net::CachedURLResponse>& proposed,
                                         const net::CacheCompletion& completion) {
  auto override = dataTaskWillCacheResponse.get();
  completion(override ? override(session, task, proposed) : proposed);
}

}  // namespace pipeline
