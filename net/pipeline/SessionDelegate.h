#pragma once
// SessionDelegate is the one object a session manager's URL session reports to. For each
// callback it offers an override slot (and, where the callback carries a completion, a second
// slot that takes the completion over and wins); without an override it finds the request of the
// task in its table and forwards the callback to that request's task delegate. At completion it
// runs the request's validations, lets the retrier decide about a retry, and otherwise completes
// the task: the task delegate opens its gate, DidComplete is posted and the request leaves the
// table.
//
// `lock` guards only the table, and is never held while a callback or a task delegate runs.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "net/pipeline/Locked.h"
#include "net/pipeline/RequestRetrier.h"
#include "net/pipeline/Result.h"
#include "net/pipeline/SessionServerTrust.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSessionDelegate.h"

namespace pipeline {

class Request;
class SessionManager;

class SessionDelegate : public net::URLSessionDelegate,
                        public foundation::Object,
                        public std::enable_shared_from_this<SessionDelegate> {
 public:
  using URLSessionPtr = net::URLSessionPtr;
  using TaskPtr = net::TaskPtr;
  using HTTPResponsePtr = std::shared_ptr<const net::HTTPURLResponse>;
  using Challenge = net::URLAuthenticationChallenge;

  SessionDelegate() = default;
  ~SessionDelegate() override;

  // Override slots; all empty until set.
  CallbackSlot<void(const URLSessionPtr&, const std::optional<foundation::Error>&)> sessionDidBecomeInvalidWithError;
  CallbackSlot<ChallengeAnswer(const URLSessionPtr&, const Challenge&)> sessionDidReceiveChallenge;
  CallbackSlot<void(const URLSessionPtr&, const Challenge&, const net::ChallengeCompletion&)>
      sessionDidReceiveChallengeWithCompletion;
  // Stored for the session manager; never called here (there are no background sessions).
  CallbackSlot<void(const URLSessionPtr&)> sessionDidFinishEventsForBackgroundURLSession;
  CallbackSlot<std::optional<net::URLRequest>(const URLSessionPtr&, const TaskPtr&, const HTTPResponsePtr&,
                                              const net::URLRequest&)>
      taskWillPerformHTTPRedirection;
  CallbackSlot<void(const URLSessionPtr&, const TaskPtr&, const HTTPResponsePtr&, const net::URLRequest&,
                    const net::RedirectCompletion&)>
      taskWillPerformHTTPRedirectionWithCompletion;
  // (Named apart from the delegate method of the same stem, which it overrides.)
  CallbackSlot<ChallengeAnswer(const URLSessionPtr&, const TaskPtr&, const Challenge&)> taskDidReceiveChallengeCallback;
  CallbackSlot<void(const URLSessionPtr&, const TaskPtr&, const Challenge&, const net::ChallengeCompletion&)>
      taskDidReceiveChallengeWithCompletion;
  CallbackSlot<std::shared_ptr<net::InputStream>(const URLSessionPtr&, const TaskPtr&)> taskNeedNewBodyStream;
  CallbackSlot<void(const URLSessionPtr&, const TaskPtr&, const net::BodyStreamCompletion&)>
      taskNeedNewBodyStreamWithCompletion;
  CallbackSlot<void(const URLSessionPtr&, const TaskPtr&, std::int64_t, std::int64_t, std::int64_t)> taskDidSendBodyData;
  // Called inside completion (not instead of it).
  CallbackSlot<void(const URLSessionPtr&, const TaskPtr&, const std::optional<AnyError>&)> taskDidComplete;
  CallbackSlot<net::URLSessionResponseDisposition(const URLSessionPtr&, const net::DataTaskPtr&,
                                                  const std::shared_ptr<const net::URLResponse>&)>
      dataTaskDidReceiveResponse;
  CallbackSlot<void(const URLSessionPtr&, const net::DataTaskPtr&, const std::shared_ptr<const net::URLResponse>&,
                    const net::ResponseCompletion&)>
      dataTaskDidReceiveResponseWithCompletion;
  CallbackSlot<void(const URLSessionPtr&, const net::DataTaskPtr&, const net::DownloadTaskPtr&)>
      dataTaskDidBecomeDownloadTask;
  CallbackSlot<void(const URLSessionPtr&, const net::DataTaskPtr&, const foundation::Data&)> dataTaskDidReceiveData;
  CallbackSlot<std::shared_ptr<const net::CachedURLResponse>(const URLSessionPtr&, const net::DataTaskPtr&,
                                                             const std::shared_ptr<const net::CachedURLResponse>&)>
      dataTaskWillCacheResponse;
  CallbackSlot<void(const URLSessionPtr&, const net::DataTaskPtr&, const std::shared_ptr<const net::CachedURLResponse>&,
                    const net::CacheCompletion&)>
      dataTaskWillCacheResponseWithCompletion;
  CallbackSlot<void(const URLSessionPtr&, const net::DownloadTaskPtr&, const net::URL&)>
      downloadTaskDidFinishDownloadingToURL;
  CallbackSlot<void(const URLSessionPtr&, const net::DownloadTaskPtr&, std::int64_t, std::int64_t, std::int64_t)>
      downloadTaskDidWriteData;
  CallbackSlot<void(const URLSessionPtr&, const net::DownloadTaskPtr&, std::int64_t, std::int64_t)>
      downloadTaskDidResumeAtOffset;
  CallbackSlot<void(const URLSessionPtr&, const net::StreamTaskPtr&)> streamTaskReadClosed;
  CallbackSlot<void(const URLSessionPtr&, const net::StreamTaskPtr&)> streamTaskWriteClosed;
  CallbackSlot<void(const URLSessionPtr&, const net::StreamTaskPtr&)> streamTaskBetterRouteDiscovered;
  CallbackSlot<void(const URLSessionPtr&, const net::StreamTaskPtr&, const std::shared_ptr<net::InputStream>&,
                    const std::shared_ptr<foundation::Object>&)>
      streamTaskDidBecomeInputAndOutputStreams;

  // The retrier asked when a task completes with an error. Thread-safe.
  std::shared_ptr<RequestRetrier> retrier() const { return retrier_.get(); }
  void setRetrier(std::shared_ptr<RequestRetrier> retrier) { retrier_.set(std::move(retrier)); }
  // The owning session manager, held weakly. Thread-safe.
  std::shared_ptr<SessionManager> sessionManager() const { return sessionManager_.get().lock(); }
  void setSessionManager(std::weak_ptr<SessionManager> manager) { sessionManager_.set(std::move(manager)); }

  // The request registered under `task`, or null. Takes the lock.
  std::shared_ptr<Request> request(const TaskPtr& task) const;
  // Registers `request` under `task` (replacing any); null removes the entry. Takes the lock.
  void setRequest(const std::shared_ptr<Request>& request, const TaskPtr& task);

  // Which callbacks the session delivers: the ones with an override-only answer only while that
  // override is set; everything else this class implements.
  bool respondsTo(net::URLSessionCallback callback) const override;

  void didBecomeInvalid(const URLSessionPtr& session, const std::optional<foundation::Error>& error) override;
  void didReceiveChallenge(const URLSessionPtr& session, const Challenge& challenge,
                           net::ChallengeCompletion completion) override;
  void willPerformHTTPRedirection(const URLSessionPtr& session, const TaskPtr& task, const HTTPResponsePtr& response,
                                  const net::URLRequest& newRequest, net::RedirectCompletion completion) override;
  void taskDidReceiveChallenge(const URLSessionPtr& session, const TaskPtr& task, const Challenge& challenge,
                               net::ChallengeCompletion completion) override;
  void needNewBodyStream(const URLSessionPtr& session, const TaskPtr& task,
                         net::BodyStreamCompletion completion) override;
  void didSendBodyData(const URLSessionPtr& session, const TaskPtr& task, std::int64_t bytesSent,
                       std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) override;
  void didFinishCollectingMetrics(const URLSessionPtr& session, const TaskPtr& task,
                                  const std::shared_ptr<const net::URLSessionTaskMetrics>& metrics) override;
  // Completion with the platform's error.
  void didCompleteWithError(const URLSessionPtr& session, const TaskPtr& task,
                            const std::optional<foundation::Error>& error) override;
  // Completion with any error: validations, the retrier, then completing the task.
  void didComplete(const URLSessionPtr& session, const TaskPtr& task, const std::optional<AnyError>& error);
  void didReceiveResponse(const URLSessionPtr& session, const net::DataTaskPtr& task,
                          const std::shared_ptr<const net::URLResponse>& response,
                          net::ResponseCompletion completion) override;
  // Moves the data task's request under the download task, with a new download task delegate.
  void didBecomeDownloadTask(const URLSessionPtr& session, const net::DataTaskPtr& dataTask,
                             const net::DownloadTaskPtr& downloadTask) override;
  void didReceiveData(const URLSessionPtr& session, const net::DataTaskPtr& task, const foundation::Data& data) override;
  void willCacheResponse(const URLSessionPtr& session, const net::DataTaskPtr& task,
                         const std::shared_ptr<const net::CachedURLResponse>& proposed,
                         net::CacheCompletion completion) override;
  void didFinishDownloadingToURL(const URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                 const net::URL& location) override;
  void didWriteData(const URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t bytesWritten,
                    std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) override;
  void didResumeAtOffset(const URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t fileOffset,
                         std::int64_t expectedTotalBytes) override;
  void readClosed(const URLSessionPtr& session, const net::StreamTaskPtr& task) override;
  void writeClosed(const URLSessionPtr& session, const net::StreamTaskPtr& task) override;
  void betterRouteDiscovered(const URLSessionPtr& session, const net::StreamTaskPtr& task) override;
  void didBecomeInputAndOutputStreams(const URLSessionPtr& session, const net::StreamTaskPtr& task,
                                      const std::shared_ptr<net::InputStream>& input,
                                      const std::shared_ptr<foundation::Object>& output) override;

  // Completes `task`: taskDidComplete, the task delegate's completion (opening the gate),
  // DidComplete, and removal from the table.
  void completeTask(const URLSessionPtr& session, const TaskPtr& task, const std::optional<AnyError>& error);

 private:
  Locked<std::shared_ptr<RequestRetrier>> retrier_;
  Locked<std::weak_ptr<SessionManager>> sessionManager_;
  mutable std::mutex lock_;
  std::map<std::uint64_t, std::shared_ptr<Request>> requests_;
};

}  // namespace pipeline
