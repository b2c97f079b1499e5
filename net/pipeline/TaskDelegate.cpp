#include "net/pipeline/TaskDelegate.h"

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Date.h"
#include "platform/net/URLSession.h"

namespace pipeline {

using Disposition = net::URLSessionAuthChallengeDisposition;

double absoluteTimeNow() { return foundation::Date::now().timeIntervalSinceReferenceDate(); }

TaskDelegate::TaskDelegate(net::TaskPtr task) : queue_(foundation::OperationQueue::create()), task_(std::move(task)) {
  queue_->setMaxConcurrentOperationCount(1);
  queue_->setSuspended(true);
  queue_->setQualityOfService(dispatch::QualityOfService::Utility);
}

TaskDelegate::~TaskDelegate() = default;

std::optional<AnyError> TaskDelegate::error() const {
  std::lock_guard lock(stateMutex_);
  return error_;
}

void TaskDelegate::setError(std::optional<AnyError> error) {
  std::lock_guard lock(stateMutex_);
  error_ = std::move(error);
}

std::optional<double> TaskDelegate::initialResponseTime() const {
  std::lock_guard lock(stateMutex_);
  return initialResponseTime_;
}

void TaskDelegate::setInitialResponseTime(std::optional<double> time) {
  std::lock_guard lock(stateMutex_);
  initialResponseTime_ = time;
}

void TaskDelegate::markInitialResponse() {
  std::lock_guard lock(stateMutex_);
  if (!initialResponseTime_) initialResponseTime_ = absoluteTimeNow();
}

std::shared_ptr<const net::URLCredential> TaskDelegate::credential() const {
  std::lock_guard lock(stateMutex_);
  return credential_;
}

void TaskDelegate::setCredential(std::shared_ptr<const net::URLCredential> credential) {
  std::lock_guard lock(stateMutex_);
  credential_ = std::move(credential);
}

std::shared_ptr<const foundation::Object> TaskDelegate::metrics() const {
  std::lock_guard lock(stateMutex_);
  return metrics_;
}

void TaskDelegate::setMetrics(std::shared_ptr<const foundation::Object> metrics) {
  std::lock_guard lock(stateMutex_);
  metrics_ = std::move(metrics);
}

net::TaskPtr TaskDelegate::task() const {
  std::lock_guard lock(taskLock_);
  return task_;
}

void TaskDelegate::setTask(net::TaskPtr task) {
  {
    std::lock_guard lock(taskLock_);
    task_ = std::move(task);
  }
  reset();
}

void TaskDelegate::reset() {
  std::lock_guard lock(stateMutex_);
  error_.reset();
  initialResponseTime_.reset();
}

void TaskDelegate::willPerformHTTPRedirection(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                              const HTTPResponsePtr& response, const net::URLRequest& newRequest,
                                              const net::RedirectCompletion& completion) {
  std::optional<net::URLRequest> answer = newRequest;
  if (auto override = taskWillPerformHTTPRedirection.get()) answer = override(session, task, response, newRequest);
  completion(answer);
}

void TaskDelegate::didReceiveChallenge(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                       const net::URLAuthenticationChallenge& challenge,
                                       const net::ChallengeCompletion& completion) {
  if (auto override = taskDidReceiveChallenge.get()) {
    auto [disposition, credential] = override(session, task, challenge);
    completion(disposition, credential);
    return;
  }
  const auto& space = challenge.protectionSpace();
  if (space.authenticationMethod() == net::kURLAuthenticationMethodServerTrust) {
    auto [disposition, credential] = evaluateServerTrust(*session, challenge);
    completion(disposition, credential);
    return;
  }
  // A credential that has failed once would fail again; asking again would loop.
  if (challenge.previousFailureCount() > 0) {
    completion(Disposition::RejectProtectionSpace, nullptr);
    return;
  }
  auto found = credential();
  if (!found) {
    if (const auto& storage = session->configuration().urlCredentialStorage) {
      found = storage->defaultCredentialForProtectionSpace(space);
    }
  }
  if (found) {
    completion(Disposition::UseCredential, found);
  } else {
    completion(Disposition::PerformDefaultHandling, nullptr);
  }
}

void TaskDelegate::needNewBodyStream(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                     const net::BodyStreamCompletion& completion) {
  auto supplier = taskNeedNewBodyStream.get();
  completion(supplier ? supplier(session, task) : nullptr);
}

void TaskDelegate::didCompleteWithError(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                        const std::optional<AnyError>& error) {
  if (auto override = taskDidCompleteWithError.get()) {
    override(session, task, error);
    return;
  }
  if (error) {
    std::lock_guard lock(stateMutex_);
    if (!error_) error_ = error;
  }
  queue_->setSuspended(false);
}

void TaskDelegate::scheduleProgress(const std::optional<ProgressHandler>& handler,
                                        std::function<std::shared_ptr<Progress>(const TaskDelegate&)> read) {
  if (!handler || !handler->closure) return;
  auto queue = handler->queue ? handler->queue : dispatch::Queue::main();
  std::weak_ptr<TaskDelegate> weak = weak_from_this();
  queue->async([weak, closure = handler->closure, read = std::move(read)] {
    auto self = weak.lock();
    if (!self) return;
    closure(read(*self));
  });
}

}  // namespace pipeline
