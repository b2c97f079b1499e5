#pragma once
// DataTaskDelegate is the task delegate of data and upload requests: it collects the received
// body (or hands each chunk to a stream callback instead), counts the bytes and keeps the
// download progress, reported to an optional progress callback on its queue. The body it hands
// on is shared, not copied: chunks that arrive after a body was handed on go to a copy of it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "net/pipeline/Progress.h"
#include "net/pipeline/SharedBody.h"
#include "net/pipeline/TaskDelegate.h"
#include "platform/dispatch/Queue.h"

namespace pipeline {

class DataTaskDelegate : public TaskDelegate {
 public:
  explicit DataTaskDelegate(net::TaskPtr task);

  // The progress of the received body; replaced by reset(). Thread-safe.
  std::shared_ptr<Progress> progress() const;
  std::int64_t totalBytesReceived() const;
  // A copy of the collected body. Thread-safe.
  foundation::Data mutableData() const;
  std::optional<std::int64_t> expectedContentLength() const;
  // The collected body, or none while a stream callback takes the chunks.
  std::optional<foundation::Data> data() const override;
  // The same without a copy. Thread-safe.
  SharedBody sharedData() const override;
  void reset() override;

  // Settings; each may be changed at any time and applies from the next callback on.
  Locked<std::optional<ProgressHandler>> progressHandler;
  CallbackSlot<void(const foundation::Data&)> dataStream;

  // Override slots.
  CallbackSlot<net::URLSessionResponseDisposition(const net::URLSessionPtr&, const net::DataTaskPtr&,
                                                  const std::shared_ptr<const net::URLResponse>&)>
      dataTaskDidReceiveResponse;
  CallbackSlot<void(const net::URLSessionPtr&, const net::DataTaskPtr&, const net::DownloadTaskPtr&)>
      dataTaskDidBecomeDownloadTask;
  CallbackSlot<void(const net::URLSessionPtr&, const net::DataTaskPtr&, const foundation::Data&)> dataTaskDidReceiveData;
  CallbackSlot<std::shared_ptr<const net::CachedURLResponse>(const net::URLSessionPtr&, const net::DataTaskPtr&,
                                                             const std::shared_ptr<const net::CachedURLResponse>&)>
      dataTaskWillCacheResponse;

  // Records the expected length and answers allow, or what the override answers.
  void didReceiveResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                          const std::shared_ptr<const net::URLResponse>& response,
                          const net::ResponseCompletion& completion);
  void didBecomeDownloadTask(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                             const net::DownloadTaskPtr& downloadTask);
  // Collects or streams the chunk, counts it and updates the progress.
  void didReceiveData(const net::URLSessionPtr& session, const net::DataTaskPtr& task, const foundation::Data& data);
  // Answers the proposed response, or what the override answers.
  void willCacheResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                         const std::shared_ptr<const net::CachedURLResponse>& proposed,
                         const net::CacheCompletion& completion);

 private:
  // Appends a chunk to the body, under the state lock.
  void append(const foundation::Data& data, std::int64_t expected);

  std::shared_ptr<Progress> progress_;
  std::int64_t totalBytesReceived_ = 0;
  // Holds a value always; written only while `bodyShared_` is false.
  std::shared_ptr<std::optional<foundation::Data>> body_;
  mutable bool bodyShared_ = false;
  std::optional<std::int64_t> expectedContentLength_;
};

}  // namespace pipeline
