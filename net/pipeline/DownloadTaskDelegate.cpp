#include "net/pipeline/DownloadTaskDelegate.h"

#include "platform/foundation/FileManager.h"
#include "platform/net/URLError.h"

namespace pipeline {

DownloadTaskDelegate::DownloadTaskDelegate(net::TaskPtr task)
    : TaskDelegate(std::move(task)), progress_(Progress::create(0)) {}

std::shared_ptr<Progress> DownloadTaskDelegate::progress() const {
  std::lock_guard lock(stateMutex_);
  return progress_;
}

std::optional<foundation::Data> DownloadTaskDelegate::resumeData() const {
  std::lock_guard lock(stateMutex_);
  return resumeData_;
}

void DownloadTaskDelegate::setResumeData(std::optional<foundation::Data> data) {
  std::lock_guard lock(stateMutex_);
  resumeData_ = std::move(data);
}

std::optional<net::URL> DownloadTaskDelegate::temporaryURL() const {
  std::lock_guard lock(stateMutex_);
  return temporaryURL_;
}

std::optional<net::URL> DownloadTaskDelegate::destinationURL() const {
  std::lock_guard lock(stateMutex_);
  return destinationURL_;
}

std::optional<foundation::Data> DownloadTaskDelegate::data() const { return resumeData(); }

void DownloadTaskDelegate::reset() {
  TaskDelegate::reset();
  std::lock_guard lock(stateMutex_);
  progress_ = Progress::create(0);
  resumeData_.reset();
}

namespace {

// Applies `options` and moves `location` to `destination`; the first failure's error, if any.
std::optional<foundation::Error> moveDownloadedFile(const net::URL& location, const net::URL& destination,
                                                    DownloadOptions options) {
  auto& files = foundation::FileManager::defaultManager();
  foundation::Error error;
  const std::string target = destination.path();
  if (options.contains(DownloadOptions::removePreviousFile()) && files.fileExistsAtPath(target)) {
    if (!files.removeItemAtPath(target, &error)) return error;
  }
  if (options.contains(DownloadOptions::createIntermediateDirectories())) {
    if (!files.createDirectoryAtPath(destination.deletingLastPathComponent().path(), true, &error)) return error;
  }
  if (!files.moveItemAtPath(location.path(), target, &error)) return error;
  return std::nullopt;
}

}  // namespace

void DownloadTaskDelegate::didFinishDownloadingToURL(const net::URLSessionPtr&,
                                                     const net::DownloadTaskPtr& task, const net::URL& location) {
  {
    std::lock_guard lock(stateMutex_);
    temporaryURL_ = location;
  }
  auto chooser = destination.get();
  const auto response = std::dynamic_pointer_cast<const net::HTTPURLResponse>(task ? task->response() : nullptr);
  if (!chooser || !response) return;
  auto [target, options] = chooser(location, *response);
  {
    std::lock_guard lock(stateMutex_);
    destinationURL_ = target;
  }
  if (auto failure = moveDownloadedFile(location, target, options)) setError(AnyError(*failure));
}

void DownloadTaskDelegate::didWriteData(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                        std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                        std::int64_t totalBytesExpectedToWrite) {
  markInitialResponse();
  if (auto override = downloadTaskDidWriteData.get()) {
    override(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    return;
  }
  auto current = progress();
  current->setTotalUnitCount(totalBytesExpectedToWrite);
  current->setCompletedUnitCount(totalBytesWritten);
  scheduleProgress(progressHandler.get(), [](const TaskDelegate& self) {
    return static_cast<const DownloadTaskDelegate&>(self).progress();
  });
}

void DownloadTaskDelegate::didResumeAtOffset(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                             std::int64_t fileOffset, std::int64_t expectedTotalBytes) {
  if (auto override = downloadTaskDidResumeAtOffset.get()) {
    override(session, task, fileOffset, expectedTotalBytes);
    return;
  }
  auto current = progress();
  current->setTotalUnitCount(expectedTotalBytes);
  current->setCompletedUnitCount(fileOffset);
}

void DownloadTaskDelegate::didCompleteWithError(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                                const std::optional<AnyError>& error) {
  if (!taskDidCompleteWithError.get() && error) {
    if (const auto* platformError = error->as<foundation::Error>()) {
      if (const auto* bytes = platformError->userInfo().find(net::kURLSessionDownloadTaskResumeData)) {
        if (bytes->isData()) setResumeData(bytes->dataValue());
      }
    }
  }
  TaskDelegate::didCompleteWithError(session, task, error);
}

}  // namespace pipeline
