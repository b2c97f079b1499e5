#pragma once
// RLURLSessionManager owns one URL session and is its only delegate. It makes data, upload and
// download tasks on the session, keeps one task delegate (RLURLSessionManagerTaskDelegate) per
// task in a table keyed by task identifier, and routes every session event to the task's
// delegate and to an optional override block of its own. It answers server-trust challenges
// with its security policy, re-posts the resume and suspend of its tasks as public
// notifications, and has each finished response turned into a response object by its response
// serializer. RLHTTPSessionManager builds on it.
//
// Made with create(), always owned by a std::shared_ptr. As on the platform, the session keeps
// its delegate alive: a manager lives until its owner calls invalidateSessionCancelingTasks and
// the session has reported its end, and nothing in the manager invalidates the session by
// itself.
//
// Threads: every session event arrives on operationQueue(), one at a time. Factories, accessors
// and the task lists may be called from any thread; the delegate table and the per-task
// observer registrations are guarded by a lock that no caller's block runs under. Override
// blocks, serializer, policy, queue and group may be replaced at any time from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/callbacks/RLNetworkReachabilityManager.h"
#include "net/callbacks/RLSecurityPolicy.h"
#include "net/callbacks/RLURLResponseSerialization.h"
#include "net/callbacks/RLURLSessionManagerTaskDelegate.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Coding.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/foundation/Progress.h"
#include "platform/net/URLSession.h"
#include "platform/net/URLSessionConfiguration.h"
#include "platform/net/URLSessionDelegate.h"

// Posted asynchronously on the main queue, with the task as object and no user info, when a
// task this manager made was resumed (it was not running) or suspended (it was not suspended).
inline constexpr const char* RLNetworkingTaskDidResumeNotification = "com.relay.networking.task.resume";
inline constexpr const char* RLNetworkingTaskDidSuspendNotification = "com.relay.networking.task.suspend";
// Posted on the delegate queue, with the session as object, when the session has been invalidated.
inline constexpr const char* RLURLSessionDidInvalidateNotification = "com.relay.networking.session.invalidate";

class RLURLSessionManager : public net::URLSessionDelegate,
                            public foundation::Coding,
                            public std::enable_shared_from_this<RLURLSessionManager> {
 public:
  using TaskList = std::vector<net::TaskPtr>;

  // ---- Override blocks: each replaces the manager's default answer to one session event;
  // empty means the default (see the setters).
  using SessionDidBecomeInvalidBlock =
      std::function<void(const net::URLSessionPtr& session, const std::optional<foundation::Error>& error)>;
  // Answers a challenge: the disposition, with the credential stored into `credential`.
  using SessionDidReceiveAuthenticationChallengeBlock = std::function<net::URLSessionAuthChallengeDisposition(
      const net::URLSessionPtr& session, const net::URLAuthenticationChallenge& challenge,
      std::shared_ptr<const net::URLCredential>& credential)>;
  using TaskWillPerformHTTPRedirectionBlock = std::function<std::optional<net::URLRequest>(
      const net::URLSessionPtr& session, const net::TaskPtr& task,
      const std::shared_ptr<const net::HTTPURLResponse>& response, const net::URLRequest& request)>;
  using TaskDidReceiveAuthenticationChallengeBlock = std::function<net::URLSessionAuthChallengeDisposition(
      const net::URLSessionPtr& session, const net::TaskPtr& task, const net::URLAuthenticationChallenge& challenge,
      std::shared_ptr<const net::URLCredential>& credential)>;
  using TaskNeedNewBodyStreamBlock =
      std::function<std::shared_ptr<net::InputStream>(const net::URLSessionPtr& session, const net::TaskPtr& task)>;
  using TaskDidSendBodyDataBlock =
      std::function<void(const net::URLSessionPtr& session, const net::TaskPtr& task, std::int64_t bytesSent,
                         std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend)>;
  using TaskDidCompleteBlock = std::function<void(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                                  const std::optional<foundation::Error>& error)>;
  using DataTaskDidReceiveResponseBlock = std::function<net::URLSessionResponseDisposition(
      const net::URLSessionPtr& session, const net::DataTaskPtr& dataTask, const RLURLResponsePtr& response)>;
  using DataTaskDidBecomeDownloadTaskBlock =
      std::function<void(const net::URLSessionPtr& session, const net::DataTaskPtr& dataTask,
                         const net::DownloadTaskPtr& downloadTask)>;
  using DataTaskDidReceiveDataBlock = std::function<void(const net::URLSessionPtr& session,
                                                         const net::DataTaskPtr& dataTask, const foundation::Data& data)>;
  using DataTaskWillCacheResponseBlock = std::function<std::shared_ptr<const net::CachedURLResponse>(
      const net::URLSessionPtr& session, const net::DataTaskPtr& dataTask,
      const std::shared_ptr<const net::CachedURLResponse>& proposedResponse)>;
  using DownloadTaskDidFinishDownloadingBlock = RLDownloadTaskDidFinishDownloadingBlock;
  using DownloadTaskDidWriteDataBlock =
      std::function<void(const net::URLSessionPtr& session, const net::DownloadTaskPtr& downloadTask,
                         std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                         std::int64_t totalBytesExpectedToWrite)>;
  using DownloadTaskDidResumeBlock =
      std::function<void(const net::URLSessionPtr& session, const net::DownloadTaskPtr& downloadTask,
                         std::int64_t fileOffset, std::int64_t expectedTotalBytes)>;

  // A manager with a new session over `configuration` (the default configuration when nothing),
  // a serial delegate queue, the JSON response serializer, the default security policy and the
  // shared reachability manager. Also installs the tasks' resume and suspend hook and registers
  // the client's archivable classes.
  static std::shared_ptr<RLURLSessionManager> create(
      std::optional<net::URLSessionConfiguration> configuration = std::nullopt);
  // Rebuilds an archived manager: the configuration under "sessionConfiguration" (the default
  // one when absent), then as create(). For the archive registry.
  static std::shared_ptr<RLURLSessionManager> initWithCoder(foundation::KeyedUnarchiver& coder);
  // Stops observing its tasks' notifications.
  ~RLURLSessionManager() override;
  RLURLSessionManager(const RLURLSessionManager&) = delete;
  RLURLSessionManager& operator=(const RLURLSessionManager&) = delete;

  // ---- Configuration
  const net::URLSessionPtr& session() const { return session_; }
  const std::shared_ptr<foundation::OperationQueue>& operationQueue() const { return operationQueue_; }
  const net::URLSessionConfiguration& sessionConfiguration() const { return sessionConfiguration_; }
  std::shared_ptr<RLURLResponseSerialization> responseSerializer() const;
  virtual void setResponseSerializer(std::shared_ptr<RLURLResponseSerialization> serializer);
  std::shared_ptr<RLSecurityPolicy> securityPolicy() const;
  // Stores `policy`; RLHTTPSessionManager checks it first.
  virtual void setSecurityPolicy(std::shared_ptr<RLSecurityPolicy> policy);
  // Held for the owner; the manager never starts or reads it.
  std::shared_ptr<RLNetworkReachabilityManager> reachabilityManager() const;
  void setReachabilityManager(std::shared_ptr<RLNetworkReachabilityManager> manager);
  // The queue of completion handlers; null means the main queue.
  std::shared_ptr<dispatch::Queue> completionQueue() const;
  void setCompletionQueue(std::shared_ptr<dispatch::Queue> queue);
  // The group of completion handlers; null means RLURLSessionManagerCompletionGroup().
  std::shared_ptr<dispatch::Group> completionGroup() const;
  void setCompletionGroup(std::shared_ptr<dispatch::Group> group);
  // Whether a file upload of a session with an identifier is tried up to three more times when
  // the session makes no task.
  bool attemptsToRecreateUploadTasksForBackgroundSessions() const;
  void setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts);
  // "%p" of the manager: every task the manager makes carries it as its description.
  const std::string& taskDescriptionForSessionTasks() const { return taskDescription_; }

  // "<RLURLSessionManager: 0x..., session: ..., operationQueue: ...>".
  std::string description() const override;

  // ---- Tasks. Each factory answers a new, suspended task with its task delegate registered
  // (resume it to start), whose completion handler runs as RLURLSessionManagerTaskDelegate says.
  net::DataTaskPtr dataTaskWithRequest(const net::URLRequest& request, RLTaskCompletionHandler completionHandler);
  net::DataTaskPtr dataTaskWithRequest(const net::URLRequest& request, RLProgressBlock uploadProgress,
                                       RLProgressBlock downloadProgress, RLTaskCompletionHandler completionHandler);
  // The body is read from `fileURL`. Null when the session made no task (see the retry rule of
  // attemptsToRecreateUploadTasksForBackgroundSessions); no delegate is registered then.
  std::shared_ptr<net::URLSessionUploadTask> uploadTaskWithRequest(const net::URLRequest& request,
                                                                   const net::URL& fromFile, RLProgressBlock progress,
                                                                   RLTaskCompletionHandler completionHandler);
  std::shared_ptr<net::URLSessionUploadTask> uploadTaskWithRequest(const net::URLRequest& request,
                                                                   const foundation::Data& fromData,
                                                                   RLProgressBlock progress,
                                                                   RLTaskCompletionHandler completionHandler);
  // The body is the request's body stream.
  std::shared_ptr<net::URLSessionUploadTask> uploadTaskWithStreamedRequest(const net::URLRequest& request,
                                                                           RLProgressBlock progress,
                                                                           RLTaskCompletionHandler completionHandler);
  // With a destination block the finished file is moved where it says, and that URL becomes the
  // response object; a failed move is reported as the completion's error.
  net::DownloadTaskPtr downloadTaskWithRequest(const net::URLRequest& request, RLProgressBlock progress,
                                               RLDownloadDestinationBlock destination,
                                               RLTaskCompletionHandler completionHandler);
  net::DownloadTaskPtr downloadTaskWithResumeData(const foundation::Data& resumeData, RLProgressBlock progress,
                                                  RLDownloadDestinationBlock destination,
                                                  RLTaskCompletionHandler completionHandler);

  // The progress objects of the task's delegate; null when the task has none (it was not made
  // here, or it has completed).
  std::shared_ptr<foundation::Progress> uploadProgressForTask(const net::TaskPtr& task) const;
  std::shared_ptr<foundation::Progress> downloadProgressForTask(const net::TaskPtr& task) const;
  // The delegate registered for `task`, or null. Thread-safe.
  std::shared_ptr<RLURLSessionManagerTaskDelegate> delegateForTask(const net::TaskPtr& task) const;

  // The session's tasks not yet completed, in creation order: data, upload and download tasks
  // (tasks() joins the three in that order). Answered at once without a round trip through the
  // delegate queue, so calling them from a session event or a block cannot deadlock.
  TaskList tasks() const;
  TaskList dataTasks() const;
  TaskList uploadTasks() const;
  TaskList downloadTasks() const;

  // Ends the session: with true, cancels every task first (the session's invalidateAndCancel);
  // with false, lets them finish (finishTasksAndInvalidate). Either way the session then reports
  // its end, RLURLSessionDidInvalidateNotification is posted, and the session lets go of the
  // manager.
  void invalidateSessionCancelingTasks(bool cancelPendingTasks);

  // ---- Override blocks. Each is stored as given; empty restores the default.
  // After the session's end, before the invalidation notification. Default: nothing.
  void setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block);
  // Session-level challenges. Default: server trust answered with the security policy (use the
  // trust's credential, or cancel); other methods get default handling.
  void setSessionDidReceiveAuthenticationChallengeBlock(SessionDidReceiveAuthenticationChallengeBlock block);
  // Redirects: the request to follow, or nothing to refuse. Without it the session follows them.
  void setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block);
  // Task-level challenges. Default as for the session level.
  void setTaskDidReceiveAuthenticationChallengeBlock(TaskDidReceiveAuthenticationChallengeBlock block);
  // A body stream to send again. Default: a copy of the original request's stream, if it allows one.
  void setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block);
  // Upload progress; an unknown total is replaced by the request's "Content-Length".
  void setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block);
  // After the task's delegate has handed the outcome on.
  void setTaskDidCompleteBlock(TaskDidCompleteBlock block);
  // The response disposition. Without it the session allows every response.
  void setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block);
  void setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block);
  void setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block);
  // The response to cache. Without it the session decides.
  void setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block);
  // Where every finished download goes, in place of its task delegate's destination; nothing
  // leaves it to the task delegate.
  void setDownloadTaskDidFinishDownloadingBlock(DownloadTaskDidFinishDownloadingBlock block);
  void setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block);
  void setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block);

  // ---- Session delegate. The session calls these on operationQueue().
  // Declines the redirect, response and cache callbacks while their block is empty, so that the
  // session applies its own behaviour.
  bool respondsTo(net::URLSessionCallback callback) const override;
  void didBecomeInvalid(const net::URLSessionPtr& session, const std::optional<foundation::Error>& error) override;
  void didReceiveChallenge(const net::URLSessionPtr& session, const net::URLAuthenticationChallenge& challenge,
                           net::ChallengeCompletion completion) override;
  void willPerformHTTPRedirection(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                  const std::shared_ptr<const net::HTTPURLResponse>& response,
                                  const net::URLRequest& newRequest, net::RedirectCompletion completion) override;
  void taskDidReceiveChallenge(const net::URLSessionPtr& session, const net::TaskPtr& task,
                               const net::URLAuthenticationChallenge& challenge,
                               net::ChallengeCompletion completion) override;
  void needNewBodyStream(const net::URLSessionPtr& session, const net::TaskPtr& task,
                         net::BodyStreamCompletion completion) override;
  void didSendBodyData(const net::URLSessionPtr& session, const net::TaskPtr& task, std::int64_t bytesSent,
                       std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) override;
  void didCompleteWithError(const net::URLSessionPtr& session, const net::TaskPtr& task,
                            const std::optional<foundation::Error>& error) override;
  void didReceiveResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                          const RLURLResponsePtr& response, net::ResponseCompletion completion) override;
  void didBecomeDownloadTask(const net::URLSessionPtr& session, const net::DataTaskPtr& dataTask,
                             const net::DownloadTaskPtr& downloadTask) override;
  void didReceiveData(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                      const foundation::Data& data) override;
  void willCacheResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                         const std::shared_ptr<const net::CachedURLResponse>& proposed,
                         net::CacheCompletion completion) override;
  void didFinishDownloadingToURL(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                 const net::URL& location) override;
  void didWriteData(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t bytesWritten,
                    std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) override;
  void didResumeAtOffset(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task, std::int64_t fileOffset,
                         std::int64_t expectedTotalBytes) override;

  // ---- Archiving and copying
  // Writes the session's configuration under "sessionConfiguration".
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  static bool supportsSecureCoding() { return true; }
  // A new manager of this one's own class on the session's configuration, with the defaults of
  // a new manager: serializers, policy, blocks and tasks are not carried over (a subclass may
  // carry more). May throw what the subclass's setters throw.
  virtual std::shared_ptr<RLURLSessionManager> copy() const;

 protected:
  RLURLSessionManager();
  // The second step of making a manager, once a shared_ptr owns it: the configuration, the
  // queue, the session with this manager as its delegate, the defaults, and the adoption of any
  // tasks the session already has. Subclasses call it first from their own second step.
  void initWithSessionConfiguration(std::optional<net::URLSessionConfiguration> configuration);
  // The session's file-upload factory; a seam for the retry rule.
  virtual std::shared_ptr<net::URLSessionUploadTask> makeUploadTaskFromFile(const net::URLRequest& request,
                                                                            const net::URL& fileURL);

 private:
  struct Blocks;
  template <class Block>
  Block block(Block Blocks::*field) const;
  template <class Block>
  void setBlock(Block Blocks::*field, Block value);

  std::shared_ptr<RLURLSessionManagerTaskDelegate> newDelegate(const net::TaskPtr& task,
                                                               RLTaskCompletionHandler completionHandler);
  void addDelegateForDataTask(const net::DataTaskPtr& task, RLProgressBlock uploadProgress,
                              RLProgressBlock downloadProgress, RLTaskCompletionHandler completionHandler);
  void addDelegateForUploadTask(const net::TaskPtr& task, RLProgressBlock progress,
                                RLTaskCompletionHandler completionHandler);
  void addDelegateForDownloadTask(const net::DownloadTaskPtr& task, RLProgressBlock progress,
                                  RLDownloadDestinationBlock destination, RLTaskCompletionHandler completionHandler);
  void setDelegate(const std::shared_ptr<RLURLSessionManagerTaskDelegate>& delegate, const net::TaskPtr& task);
  void removeDelegateForTask(const net::TaskPtr& task);
  // With the lock held: observe / stop observing the task's internal resume and suspend.
  void addNotificationObserverForTaskLocked(const net::TaskPtr& task);
  void removeNotificationObserverForTaskLocked(std::uint64_t taskIdentifier);
  void taskDidResume(const foundation::Notification& notification);
  void taskDidSuspend(const foundation::Notification& notification);
  // The answer to a server-trust challenge under the security policy; `alwaysUseCredential`
  // answers UseCredential for an accepted trust even when no credential could be made.
  net::URLSessionAuthChallengeDisposition evaluateChallenge(const net::URLAuthenticationChallenge& challenge,
                                                            std::shared_ptr<const net::URLCredential>& credential,
                                                            bool alwaysUseCredential) const;
  TaskList tasksOfKinds(bool data, bool upload, bool download) const;

  std::string taskDescription_;
  net::URLSessionConfiguration sessionConfiguration_;
  std::shared_ptr<foundation::OperationQueue> operationQueue_;
  net::URLSessionPtr session_;

  mutable std::mutex propertiesMutex_;  // guards the six fields below and the blocks
  std::shared_ptr<RLURLResponseSerialization> responseSerializer_;
  std::shared_ptr<RLSecurityPolicy> securityPolicy_;
  std::shared_ptr<RLNetworkReachabilityManager> reachabilityManager_;
  std::shared_ptr<dispatch::Queue> completionQueue_;
  std::shared_ptr<dispatch::Group> completionGroup_;
  bool attemptsToRecreateUploadTasks_ = false;
  std::unique_ptr<Blocks> blocks_;

  // "com.relay.networking.session.manager.lock": the delegate table and the observer tokens.
  mutable std::mutex lock_;
  std::unordered_map<std::uint64_t, std::shared_ptr<RLURLSessionManagerTaskDelegate>> delegates_;
  std::unordered_map<std::uint64_t, std::pair<foundation::NotificationCenter::ObserverToken,
                                              foundation::NotificationCenter::ObserverToken>>
      observers_;
};
