#include "net/pipeline/UploadTaskDelegate.h"

namespace pipeline {

UploadTaskDelegate::UploadTaskDelegate(net::TaskPtr task)
    : DataTaskDelegate(std::move(task)), uploadProgress_(Progress::create(0)) {}

std::shared_ptr<Progress> UploadTaskDelegate::uploadProgress() const {
  std::lock_guard lock(stateMutex_);
  return uploadProgress_;
}

void UploadTaskDelegate::reset() {
  DataTaskDelegate::reset();
  std::lock_guard lock(stateMutex_);
  uploadProgress_ = Progress::create(0);
}

void UploadTaskDelegate::didSendBodyData(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                         std::int64_t bytesSent, std::int64_t totalBytesSent,
                                         std::int64_t totalBytesExpectedToSend) {
  markInitialResponse();
  if (auto override = taskDidSendBodyData.get()) {
    override(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
    return;
  }
  auto current = uploadProgress();
  current->setTotalUnitCount(totalBytesExpectedToSend);
  current->setCompletedUnitCount(totalBytesSent);
  scheduleProgress(uploadProgressHandler.get(), [](const TaskDelegate& self) {
    return static_cast<const UploadTaskDelegate&>(self).uploadProgress();
  });
}

}  // namespace pipeline
