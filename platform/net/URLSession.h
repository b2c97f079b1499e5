#pragma once
// URLSession stands in for the platform's URL session: it loads URL requests over HTTP and HTTPS
// as tasks, and reports their progress and outcome to a delegate on its delegate queue, or to a
// completion handler per task. It serves the HTTP clients of this program and the telemetry
// uploads alike.
//
// Each session runs one transfer engine on a thread of its own; task operations from any other
// thread are handed to it. Delegate callbacks are delivered one at a time, in order, on the
// delegate queue (an operation queue; a serial one of the session's own when none is given).
// Redirects, responses and challenges wait for the delegate's answer; callbacks the delegate
// does not implement get the platform's default answer (see URLSessionDelegate).
//
// What is left out: response caching (every load goes to the network), background transfers
// (a background configuration runs in the process), proxies (connections are always direct),
// and reads and writes on stream tasks.
//
// Lifetime: as on the platform, a session keeps itself and its delegate alive until it is
// invalidated; finishTasksAndInvalidate() or invalidateAndCancel() ends it, after which the
// delegate hears didBecomeInvalid and is let go. All operations are thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/net/URLSessionConfiguration.h"
#include "platform/net/URLSessionDelegate.h"
#include "platform/net/URLSessionTask.h"

namespace net {

namespace detail { class SessionCore; }

class URLSession : public foundation::Object, public std::enable_shared_from_this<URLSession> {
 public:
  // Completion handlers of the convenience task factories; they run on the delegate queue.
  // Data tasks: the body (nothing on failure), the response, the error.
  using DataCompletionHandler = std::function<void(std::optional<foundation::Data>,
                                                   std::shared_ptr<const URLResponse>, std::optional<foundation::Error>)>;
  // Download tasks: the temporary file (removed when the handler returns), the response, the error.
  using DownloadCompletionHandler =
      std::function<void(std::optional<URL>, std::shared_ptr<const URLResponse>, std::optional<foundation::Error>)>;

  // The process-wide session: default configuration, no delegate. Never invalidated.
  static std::shared_ptr<URLSession> shared();
  // A new session over a copy of `configuration`. A null `delegateQueue` gives the session a
  // serial queue of its own.
  static std::shared_ptr<URLSession> create(URLSessionConfiguration configuration,
                                            std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                            std::shared_ptr<foundation::OperationQueue> delegateQueue = nullptr);
  ~URLSession() override;
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  const URLSessionConfiguration& configuration() const;
  // The delegate, or null once the session has been invalidated (or when it had none).
  std::shared_ptr<URLSessionDelegate> delegate() const;
  const std::shared_ptr<foundation::OperationQueue>& delegateQueue() const;
  std::string sessionDescription() const;
  void setSessionDescription(std::string description);

  // Task factories. Each returns a new suspended task; call resume() to start it. On an
  // invalidated session the task completes with the cancelled error as soon as it is resumed.
  std::shared_ptr<URLSessionDataTask> dataTask(const URLRequest& request);
  std::shared_ptr<URLSessionDataTask> dataTask(const URL& url);
  std::shared_ptr<URLSessionDataTask> dataTask(const URLRequest& request, DataCompletionHandler handler);
  std::shared_ptr<URLSessionUploadTask> uploadTask(const URLRequest& request, foundation::Data body);
  std::shared_ptr<URLSessionUploadTask> uploadTask(const URLRequest& request, foundation::Data body,
                                                   DataCompletionHandler handler);
  // The body is read from the file at `fileURL`; a file that cannot be read fails the task
  // with URLErrorFileDoesNotExist or URLErrorNoPermissionsToReadFile.
  std::shared_ptr<URLSessionUploadTask> uploadTaskFromFile(const URLRequest& request, const URL& fileURL);
  std::shared_ptr<URLSessionUploadTask> uploadTaskFromFile(const URLRequest& request, const URL& fileURL,
                                                           DataCompletionHandler handler);
  // The body is the request's body stream; when it must be sent again the delegate is asked
  // for a new one (needNewBodyStream), else a copy of the stream is used where it allows one.
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);
  std::shared_ptr<URLSessionDownloadTask> downloadTask(const URLRequest& request);
  std::shared_ptr<URLSessionDownloadTask> downloadTask(const URLRequest& request, DownloadCompletionHandler handler);
  // Continues a download from resume data (see cancelByProducingResumeData). Data that cannot
  // be read, or whose partial file is gone, fails the task with URLErrorCannotOpenFile.
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const foundation::Data& resumeData);
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const foundation::Data& resumeData,
                                                                     DownloadCompletionHandler handler);
  std::shared_ptr<URLSessionStreamTask> streamTask(const std::string& host, int port);

  // The tasks not yet completed, by kind, handed to `completion` on the delegate queue.
  void getTasks(std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                                   std::vector<std::shared_ptr<URLSessionUploadTask>>,
                                   std::vector<std::shared_ptr<URLSessionDownloadTask>>)>
                    completion);
  void getAllTasks(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion);
  // The tasks not yet completed, in creation order; answered at once.
  std::vector<std::shared_ptr<URLSessionTask>> allTasks() const;

  // Lets running tasks finish, refuses new work, then reports didBecomeInvalid (no error) and
  // lets go of the delegate. Tasks never resumed keep the session waiting, as on the platform.
  void finishTasksAndInvalidate();
  // Cancels every task, then invalidates as above.
  void invalidateAndCancel();
  bool isInvalidated() const;

  // Values that clients attach to a session (the platform's associated objects); null removes.
  void setAssociatedObject(const std::string& key, std::shared_ptr<void> value);
  std::shared_ptr<void> associatedObject(const std::string& key) const;

  std::string description() const override;

 private:
  URLSession() = default;
  std::shared_ptr<detail::SessionCore> core_;
};

}  // namespace net
