#include "net/pipeline/SessionDelegate.h"

#include "net/pipeline/DataTaskDelegate.h"
#include "net/pipeline/DispatchQueueExtensions.h"
#include "net/pipeline/DownloadTaskDelegate.h"
#include "net/pipeline/Notifications.h"
#include "net/pipeline/Request.h"
#include "net/pipeline/SessionManager.h"
#include "net/pipeline/UploadTaskDelegate.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSession.h"

namespace pipeline {

using Callback = net::URLSessionCallback;

SessionDelegate::~SessionDelegate() = default;

std::shared_ptr<Request> SessionDelegate::request(const TaskPtr& task) const {
  if (!task) return nullptr;
  std::lock_guard guard(lock_);
  auto found = requests_.find(task->taskIdentifier());
  return found == requests_.end() ? nullptr : found->second;
}

void SessionDelegate::setRequest(const std::shared_ptr<Request>& request, const TaskPtr& task) {
  if (!task) return;
  std::lock_guard guard(lock_);
  if (request) {
    requests_[task->taskIdentifier()] = request;
  } else {
    requests_.erase(task->taskIdentifier());
  }
}

bool SessionDelegate::respondsTo(Callback callback) const {
  switch (callback) {
    case Callback::StreamTaskReadClosed: return static_cast<bool>(streamTaskReadClosed.get());
    case Callback::StreamTaskWriteClosed: return static_cast<bool>(streamTaskWriteClosed.get());
    case Callback::StreamTaskBetterRouteDiscovered: return static_cast<bool>(streamTaskBetterRouteDiscovered.get());
    case Callback::StreamTaskDidBecomeStreams: return static_cast<bool>(streamTaskDidBecomeInputAndOutputStreams.get());
    case Callback::DidBecomeInvalid: return static_cast<bool>(sessionDidBecomeInvalidWithError.get());
    case Callback::DidReceiveChallenge:
      return sessionDidReceiveChallenge.get() || sessionDidReceiveChallengeWithCompletion.get();
    case Callback::TaskWillPerformHTTPRedirection:
      return taskWillPerformHTTPRedirection.get() || taskWillPerformHTTPRedirectionWithCompletion.get();
    case Callback::DataTaskDidReceiveResponse:
      return dataTaskDidReceiveResponse.get() || dataTaskDidReceiveResponseWithCompletion.get();
    case Callback::DidFinishEventsForBackgroundSession: return false;
    default: return true;
  }
}

void SessionDelegate::didBecomeInvalid(const URLSessionPtr& session, const std::optional<foundation::Error>& error) {
  if (auto override = sessionDidBecomeInvalidWithError.get()) override(session, error);
}

void SessionDelegate::didReceiveChallenge(const URLSessionPtr& session, const Challenge& challenge,
                                          net::ChallengeCompletion completion) {
  if (auto override = sessionDidReceiveChallengeWithCompletion.get()) return override(session, challenge, completion);
  if (auto override = sessionDidReceiveChallenge.get()) {
    auto [disposition, credential] = override(session, challenge);
    return completion(disposition, credential);
  }
  if (challenge.protectionSpace().authenticationMethod() == net::kURLAuthenticationMethodServerTrust) {
    auto [disposition, credential] = evaluateServerTrust(*session, challenge);
    return completion(disposition, credential);
  }
  completion(net::URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
}

void SessionDelegate::willPerformHTTPRedirection(const URLSessionPtr& session, const TaskPtr& task,
                                                 const HTTPResponsePtr& response, const net::URLRequest& newRequest,
                                                 net::RedirectCompletion completion) {
  if (auto override = taskWillPerformHTTPRedirectionWithCompletion.get()) {
    return override(session, task, response, newRequest, completion);
  }
  if (auto override = taskWillPerformHTTPRedirection.get()) return completion(override(session, task, response, newRequest));
  completion(newRequest);
}

void SessionDelegate::taskDidReceiveChallenge(const URLSessionPtr& session, const TaskPtr& task,
                                              const Challenge& challenge, net::ChallengeCompletion completion) {
  if (auto override = taskDidReceiveChallengeWithCompletion.get()) return override(session, task, challenge, completion);
  if (auto override = taskDidReceiveChallengeCallback.get()) {
    auto [disposition, credential] = override(session, task, challenge);
    return completion(disposition, credential);
  }
  if (auto owner = request(task)) return owner->delegate()->didReceiveChallenge(session, task, challenge, completion);
  didReceiveChallenge(session, challenge, std::move(completion));
}

void SessionDelegate::needNewBodyStream(const URLSessionPtr& session, const TaskPtr& task,
                                        net::BodyStreamCompletion completion) {
  if (auto override = taskNeedNewBodyStreamWithCompletion.get()) return override(session, task, completion);
  if (auto override = taskNeedNewBodyStream.get()) return completion(override(session, task));
  if (auto owner = request(task)) return owner->delegate()->needNewBodyStream(session, task, completion);
  // Nobody can supply the body again: answering none fails the task instead of leaving it waiting.
  completion(nullptr);
}

void SessionDelegate::didSendBodyData(const URLSessionPtr& session, const TaskPtr& task, std::int64_t bytesSent,
                                      std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) {
  if (auto override = taskDidSendBodyData.get()) {
    return override(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
  }
  auto owner = request(task);
  if (!owner) return;
  if (auto upload = std::dynamic_pointer_cast<UploadTaskDelegate>(owner->delegate())) {
    upload->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
  }
}

void SessionDelegate::didFinishCollectingMetrics(const URLSessionPtr&, const TaskPtr& task,
                                                 const std::shared_ptr<const net::URLSessionTaskMetrics>& metrics) {
  if (auto owner = request(task)) owner->delegate()->setMetrics(metrics);
}

void SessionDelegate::didCompleteWithError(const URLSessionPtr& session, const TaskPtr& task,
                                           const std::optional<foundation::Error>& error) {
  std::optional<AnyError> reported;
  if (error) reported = AnyError(*error);
  didComplete(session, task, reported);
}

void SessionDelegate::didComplete(const URLSessionPtr& session, const TaskPtr& task,
                                  const std::optional<AnyError>& reported) {
  auto owner = request(task);
  auto manager = sessionManager();
  if (!owner || !manager) return completeTask(session, task, reported);

  for (const auto& validation : owner->validations()) validation();
  std::optional<AnyError> error = owner->delegate()->error();
  if (!error) error = reported;

  auto retrier = this->retrier();
  if (!retrier || !error) return completeTask(session, task, error);

  std::weak_ptr<SessionDelegate> weakSelf = weak_from_this();
  std::weak_ptr<SessionManager> weakManager = manager;
  retrier->shouldRetry(manager, owner, *error,
                       [weakSelf, weakManager, owner, session, task, error](bool shouldRetry, double timeDelay) {
                         if (!shouldRetry) {
                           if (auto self = weakSelf.lock()) self->completeTask(session, task, error);
                           return;
                         }
                         after(*dispatch::Queue::global(dispatch::QualityOfService::Utility), timeDelay,
                               [weakSelf, weakManager, owner, session, task, error] {
                                 auto self = weakSelf.lock();
                                 if (!self) return;
                                 auto manager = weakManager.lock();
                                 if (manager && manager->retry(owner) && owner->task()) return;
                                 self->completeTask(session, task, error);
                               });
                       });
}

void SessionDelegate::completeTask(const URLSessionPtr& session, const TaskPtr& task,
                                   const std::optional<AnyError>& error) {
  if (auto override = taskDidComplete.get()) override(session, task, error);
  auto owner = request(task);
  if (owner) owner->delegate()->didCompleteWithError(session, task, error);

  foundation::Dictionary userInfo;
  userInfo.set(Notification::Key::Task, foundation::Value(std::static_pointer_cast<foundation::Object>(task)));
  if (auto stillOwner = request(task)) {
    if (auto data = std::dynamic_pointer_cast<DataTaskDelegate>(stillOwner->delegate())) {
      if (auto body = data->sharedData(); *body) userInfo.set(Notification::Key::ResponseData, bodyValue(body));
    }
  }
  foundation::NotificationCenter::defaultCenter().post(Notification::Name::Task::DidComplete,
                                                       std::static_pointer_cast<foundation::Object>(shared_from_this()),
                                                       std::move(userInfo));
  setRequest(nullptr, task);
}

void SessionDelegate::didReceiveResponse(const URLSessionPtr& session, const net::DataTaskPtr& task,
                                         const std::shared_ptr<const net::URLResponse>& response,
                                         net::ResponseCompletion completion) {
  if (auto override = dataTaskDidReceiveResponseWithCompletion.get()) return override(session, task, response, completion);
  if (auto override = dataTaskDidReceiveResponse.get()) return completion(override(session, task, response));
  completion(net::URLSessionResponseDisposition::Allow);
}

void SessionDelegate::didBecomeDownloadTask(const URLSessionPtr& session, const net::DataTaskPtr& dataTask,
                                            const net::DownloadTaskPtr& downloadTask) {
  if (auto override = dataTaskDidBecomeDownloadTask.get()) return override(session, dataTask, downloadTask);
  // The request is known under its data task; from now on the download task reports for it, and
  // the data task never completes, so its entry would only keep the request alive.
  auto owner = request(dataTask);
  if (!owner) return;
  owner->setDelegate(std::make_shared<DownloadTaskDelegate>(downloadTask));
  setRequest(nullptr, dataTask);
  setRequest(owner, downloadTask);
}

void SessionDelegate::didReceiveData(const URLSessionPtr& session, const net::DataTaskPtr& task,
                                     const foundation::Data& data) {
  if (auto override = dataTaskDidReceiveData.get()) return override(session, task, data);
  auto owner = request(task);
  if (!owner) return;
  if (auto delegate = std::dynamic_pointer_cast<DataTaskDelegate>(owner->delegate())) {
    delegate->didReceiveData(session, task, data);
  }
}

void SessionDelegate::willCacheResponse(const URLSessionPtr& session, const net::DataTaskPtr& task,
                                        const std::shared_ptr<const net::CachedURLResponse>& proposed,
                                        net::CacheCompletion completion) {
  if (auto override = dataTaskWillCacheResponseWithCompletion.get()) return override(session, task, proposed, completion);
  if (auto override = dataTaskWillCacheResponse.get()) return completion(override(session, task, proposed));
  if (auto owner = request(task)) {
    if (auto delegate = std::dynamic_pointer_cast<DataTaskDelegate>(owner->delegate())) {
      return delegate->willCacheResponse(session, task, proposed, completion);
    }
  }
  completion(proposed);
}

void SessionDelegate::didFinishDownloadingToURL(const URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                                const net::URL& location) {
  if (auto override = downloadTaskDidFinishDownloadingToURL.get()) return override(session, task, location);
  auto owner = request(task);
  if (!owner) return;
  if (auto delegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(owner->delegate())) {
    delegate->didFinishDownloadingToURL(session, task, location);
  }
}

void SessionDelegate::didWriteData(const URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                   std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                   std::int64_t totalBytesExpectedToWrite) {
  if (auto override = downloadTaskDidWriteData.get()) {
    return override(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
  }
  auto owner = request(task);
  if (!owner) return;
  if (auto delegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(owner->delegate())) {
    delegate->didWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
  }
}

void SessionDelegate::didResumeAtOffset(const URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                        std::int64_t fileOffset, std::int64_t expectedTotalBytes) {
  if (auto override = downloadTaskDidResumeAtOffset.get()) return override(session, task, fileOffset, expectedTotalBytes);
  auto owner = request(task);
  if (!owner) return;
  if (auto delegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(owner->delegate())) {
    delegate->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
  }
}

void SessionDelegate::readClosed(const URLSessionPtr& session, const net::StreamTaskPtr& task) {
  if (auto override = streamTaskReadClosed.get()) override(session, task);
}

void SessionDelegate::writeClosed(const URLSessionPtr& session, const net::StreamTaskPtr& task) {
  if (auto override = streamTaskWriteClosed.get()) override(session, task);
}

void SessionDelegate::betterRouteDiscovered(const URLSessionPtr& session, const net::StreamTaskPtr& task) {
  if (auto override = streamTaskBetterRouteDiscovered.get()) override(session, task);
}

void SessionDelegate::didBecomeInputAndOutputStreams(const URLSessionPtr& session, const net::StreamTaskPtr& task,
                                                     const std::shared_ptr<net::InputStream>& input,
                                                     const std::shared_ptr<foundation::Object>& output) {
  if (auto override = streamTaskDidBecomeInputAndOutputStreams.get()) override(session, task, input, output);
}

}  // namespace pipeline
