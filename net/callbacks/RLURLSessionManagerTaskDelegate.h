#pragma once
// RLURLSessionManagerTaskDelegate is the companion a session manager keeps for each task it
// makes: it holds the task's upload and download progress, collects the body of data tasks,
// moves finished downloads to their destination, and at completion runs the manager's response
// serializer and the caller's completion handler, then posts
// RLNetworkingTaskDidCompleteNotification.
//
// Threads: the manager forwards the session's events from its delegate queue, one at a time, so
// the delegate's own state needs no lock; its blocks are set before the task is registered.
// Serialization runs on the process-wide concurrent processing queue; the completion handler
// runs on the manager's completion queue (the main queue when it has none) inside its completion
// group (the process-wide one when it has none); the completion notification is always posted
// afterwards on the main queue. The progress objects may be read, cancelled, paused and resumed
// from any thread: they pass those requests on to the task.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "net/callbacks/RLURLResponseSerialization.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Progress.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLSessionDelegate.h"

class RLURLSessionManager;

// Posted on the main queue when a task of a session manager has completed, after its completion
// handler, with the task as object and the keys below as user info.
inline constexpr const char* RLNetworkingTaskDidCompleteNotification = "com.relay.networking.task.complete";
// Posted on the delegate queue when a finished download could not be moved to its destination,
// with the download task as object and the move error's user info.
inline constexpr const char* RLURLSessionDownloadTaskDidFailToMoveFileNotification =
    "com.relay.networking.session.download.file-manager-error";

// User-info keys of the completion notification.
// The manager's response serializer (absent when the manager is gone).
inline constexpr const char* RLNetworkingTaskDidCompleteResponseSerializerKey =
    "com.relay.networking.task.complete.responseserializer";
// Where a download was moved (a URL), when it was.
inline constexpr const char* RLNetworkingTaskDidCompleteAssetPathKey = "com.relay.networking.task.complete.assetpath";
// The collected body (data, possibly empty) when nothing was moved. The key's middle differs
// from the others; it is the established text.
inline constexpr const char* RLNetworkingTaskDidCompleteResponseDataKey =
    "com.relay.networking.complete.finish.responsedata";
// The response object, when the task succeeded and there is one.
inline constexpr const char* RLNetworkingTaskDidCompleteSerializedResponseKey =
    "com.relay.networking.task.complete.serializedresponse";
// The error (an Error object), when there is one.
inline constexpr const char* RLNetworkingTaskDidCompleteErrorKey = "com.relay.networking.task.complete.error";

// Called with a progress object each time its fraction changes.
using RLProgressBlock = std::function<void(const std::shared_ptr<foundation::Progress>& progress)>;
// Called once a task has completed: its response (null when none came), the response object
// (null for none) and the error, if any. An error may come with a non-null object when the
// response serializer gave both.
using RLTaskCompletionHandler = std::function<void(const RLURLResponsePtr& response, const foundation::Value& responseObject,
                                                   const std::optional<foundation::Error>& error)>;
// Chooses where a finished download goes: from its temporary file and its response, the
// destination file URL (nothing: leave the file where it is, to be removed).
using RLDownloadDestinationBlock =
    std::function<std::optional<net::URL>(const net::URL& temporaryURL, const RLURLResponsePtr& response)>;
// The same choice with the session and the task, as a delegate sees them.
using RLDownloadTaskDidFinishDownloadingBlock = std::function<std::optional<net::URL>(
    const net::URLSessionPtr& session, const net::DownloadTaskPtr& downloadTask, const net::URL& location)>;

// The concurrent queue "com.relay.networking.session.manager.processing" on which every
// manager's responses are serialized. Made on first use; lives forever. Thread-safe.
std::shared_ptr<dispatch::Queue> RLURLSessionManagerProcessingQueue();
// The group completion handlers run in when their manager has none. Made on first use; lives
// forever. Thread-safe.
std::shared_ptr<dispatch::Group> RLURLSessionManagerCompletionGroup();

// Moves the finished download of `task` from `location` to `destination` with the default file
// manager. On failure posts RLURLSessionDownloadTaskDidFailToMoveFileNotification and answers
// the move error; nothing on success. A destination that exists is never replaced.
std::optional<foundation::Error> RLMoveDownloadedFile(const net::DownloadTaskPtr& task, const net::URL& location,
                                                      const net::URL& destination);

class RLURLSessionManagerTaskDelegate : public net::URLSessionDelegate {
 public:
  // A delegate for `task`, which it does not keep: two progress objects of unknown total whose
  // cancel, pause and resume act on the task (while it lives), and an empty body.
  explicit RLURLSessionManagerTaskDelegate(const net::TaskPtr& task);
  ~RLURLSessionManagerTaskDelegate() override;
  RLURLSessionManagerTaskDelegate(const RLURLSessionManagerTaskDelegate&) = delete;
  RLURLSessionManagerTaskDelegate& operator=(const RLURLSessionManagerTaskDelegate&) = delete;

  // The manager whose serializer, queue and group the completion uses; held weakly.
  std::shared_ptr<RLURLSessionManager> manager() const { return manager_.lock(); }
  void setManager(const std::shared_ptr<RLURLSessionManager>& manager) { manager_ = manager; }

  const std::shared_ptr<foundation::Progress>& uploadProgress() const { return uploadProgress_; }
  const std::shared_ptr<foundation::Progress>& downloadProgress() const { return downloadProgress_; }
  // Where the finished download is (to be) moved; nothing otherwise.
  const std::optional<net::URL>& downloadFileURL() const { return downloadFileURL_; }
  void setDownloadFileURL(std::optional<net::URL> url) { downloadFileURL_ = std::move(url); }
  // Records that the move to downloadFileURL failed: the completion then reports `error` in
  // place of a response object, and no asset path.
  void setDownloadMoveError(foundation::Error error) { downloadMoveError_ = std::move(error); }

  void setDownloadTaskDidFinishDownloading(RLDownloadTaskDidFinishDownloadingBlock block) {
    downloadTaskDidFinishDownloading_ = std::move(block);
  }
  void setUploadProgressBlock(RLProgressBlock block) { uploadProgressBlock_ = std::move(block); }
  void setDownloadProgressBlock(RLProgressBlock block) { downloadProgressBlock_ = std::move(block); }
  void setCompletionHandler(RLTaskCompletionHandler handler) { completionHandler_ = std::move(handler); }

  // ---- Session events, forwarded by the manager on its delegate queue.
  // Hands the outcome on: a transport error straight to the completion handler (the serializer
  // does not run); otherwise the response serializer on the processing queue, then the handler.
  // The notification follows on the main queue. The body buffer is let go at once.
  void didCompleteWithError(const net::URLSessionPtr& session, const net::TaskPtr& task,
                            const std::optional<foundation::Error>& error) override;
  // Appends the bytes and updates the download progress from the task's counts.
  void didReceiveData(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                      const foundation::Data& data) override;
  // Updates the upload progress from the task's counts (the event's own numbers are not used).
  void didSendBodyData(const net::URLSessionPtr& session, const net::TaskPtr& task, std::int64_t bytesSent,
                       std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) override;
  void didWriteData(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t bytesWritten,
                    std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) override;
  void didResumeAtOffset(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t fileOffset,
                         std::int64_t expectedTotalBytes) override;
  // Asks the destination block (if any) where the file goes and moves it there; a failed move
  // is posted and kept for the completion.
  void didFinishDownloadingToURL(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                 const net::URL& location) override;

 private:
  // Calls the matching progress block for a change of `progress`'s fraction.
  void progressChanged(const foundation::Progress* progress);

  std::weak_ptr<RLURLSessionManager> manager_;
  std::optional<foundation::Data> mutableData_ = foundation::Data();
  const std::shared_ptr<foundation::Progress> uploadProgress_;
  const std::shared_ptr<foundation::Progress> downloadProgress_;
  foundation::KeyValueObserving::ObserverToken uploadObservation_ = 0;
  foundation::KeyValueObserving::ObserverToken downloadObservation_ = 0;
  std::optional<net::URL> downloadFileURL_;
  std::optional<foundation::Error> downloadMoveError_;
  RLDownloadTaskDidFinishDownloadingBlock downloadTaskDidFinishDownloading_;
  RLProgressBlock uploadProgressBlock_;
  RLProgressBlock downloadProgressBlock_;
  RLTaskCompletionHandler completionHandler_;
};
