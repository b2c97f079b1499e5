#pragma once
// UploadTaskDelegate is the task delegate of upload requests: a data task delegate (the server's
// answer is collected as for a data request) that also keeps the progress of the body sent.
#include <cstdint>
#include <memory>
#include <optional>

#include "net/pipeline/DataTaskDelegate.h"

namespace pipeline {

class UploadTaskDelegate : public DataTaskDelegate {
 public:
  explicit UploadTaskDelegate(net::TaskPtr task);

  // The progress of the body sent; replaced by reset(). Thread-safe.
  std::shared_ptr<Progress> uploadProgress() const;
  void reset() override;

  Locked<std::optional<ProgressHandler>> uploadProgressHandler;
  CallbackSlot<void(const net::URLSessionPtr&, const net::TaskPtr&, std::int64_t, std::int64_t, std::int64_t)>
      taskDidSendBodyData;

  // Updates the upload progress and schedules its callback, or calls the override instead.
  void didSendBodyData(const net::URLSessionPtr& session, const net::TaskPtr& task, std::int64_t bytesSent,
                       std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend);

 private:
  std::shared_ptr<Progress> uploadProgress_;
};

}  // namespace pipeline
