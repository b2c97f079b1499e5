#pragma once
// TaskDelegate gathers what the URL loading system reports about one URL session task (the
// first error, the first-response time, metrics) and holds the request's completion gate: an
// operation queue of one slot, created suspended, on which every response handler waits. The
// completion of the task opens the gate, so handlers added before or after it run exactly once,
// one at a time, in the order added, once the outcome is known.
//
// The session delegate forwards the task-level callbacks here (redirect, challenge, new body
// stream, completion); the kinds add data, download and upload handling. Every override slot is
// optional; a set slot replaces the built-in answer. The task is guarded by its own lock, the
// other fields by the delegate's state lock, so any thread may read them.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "net/pipeline/Locked.h"
#include "net/pipeline/Progress.h"
#include "net/pipeline/Result.h"
#include "net/pipeline/SharedBody.h"
#include "net/pipeline/SessionServerTrust.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/net/URLSessionDelegate.h"

namespace pipeline {

// The current absolute time in seconds (the clock of every time stamp of the client).
double absoluteTimeNow();

class TaskDelegate : public std::enable_shared_from_this<TaskDelegate> {
 public:
  using HTTPResponsePtr = std::shared_ptr<const net::HTTPURLResponse>;

  // A delegate for `task` (null when creating the task failed), with a new closed gate.
  explicit TaskDelegate(net::TaskPtr task);
  virtual ~TaskDelegate();
  TaskDelegate(const TaskDelegate&) = delete;
  TaskDelegate& operator=(const TaskDelegate&) = delete;

  // The completion gate: at most one operation at a time, utility quality of service, suspended
  // until the task completes. Never null; owned by the delegate.
  const std::shared_ptr<foundation::OperationQueue>& queue() const { return queue_; }

  // The first error recorded for the task (transport, validation or file error). Thread-safe.
  std::optional<AnyError> error() const;
  void setError(std::optional<AnyError> error);
  // When the first data or progress callback arrived. Thread-safe.
  std::optional<double> initialResponseTime() const;
  void setInitialResponseTime(std::optional<double> time);
  // The credential that authentication challenges are answered with. Thread-safe.
  std::shared_ptr<const net::URLCredential> credential() const;
  void setCredential(std::shared_ptr<const net::URLCredential> credential);
  // The task's metrics object, as the session delivered it. Thread-safe.
  std::shared_ptr<const foundation::Object> metrics() const;
  void setMetrics(std::shared_ptr<const foundation::Object> metrics);

  // The task, read under the task lock. Thread-safe.
  net::TaskPtr task() const;
  // Replaces the task (a retry) under the task lock, then runs reset().
  void setTask(net::TaskPtr task);

  // The collected body: none here; the kinds answer their own.
  virtual std::optional<foundation::Data> data() const { return std::nullopt; }
  // The same, shared: the kinds that collect a body hand it on without a copy.
  virtual SharedBody sharedData() const { return shareBody(data()); }

  // Clears what one attempt of the task gathered (error, first-response time; the kinds clear
  // their buffers and progress). Credential, metrics, callbacks and the gate are kept.
  virtual void reset();

  // Override slots.
  CallbackSlot<std::optional<net::URLRequest>(const net::URLSessionPtr&, const net::TaskPtr&, const HTTPResponsePtr&,
                                              const net::URLRequest&)>
      taskWillPerformHTTPRedirection;
  CallbackSlot<ChallengeAnswer(const net::URLSessionPtr&, const net::TaskPtr&, const net::URLAuthenticationChallenge&)>
      taskDidReceiveChallenge;
  CallbackSlot<std::shared_ptr<net::InputStream>(const net::URLSessionPtr&, const net::TaskPtr&)> taskNeedNewBodyStream;
  CallbackSlot<void(const net::URLSessionPtr&, const net::TaskPtr&, const std::optional<AnyError>&)>
      taskDidCompleteWithError;

  // The redirect: the proposed request, or what taskWillPerformHTTPRedirection answers (none:
  // do not follow). `completion` is called once.
  void willPerformHTTPRedirection(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                  const HTTPResponsePtr& response, const net::URLRequest& newRequest,
                                  const net::RedirectCompletion& completion);
  // Request-level authentication: the override slot; else the server-trust policy of the
  // session for server-trust challenges; else the stored or default credential, rejecting the
  // protection space once a credential has failed. `completion` is called once.
  void didReceiveChallenge(const net::URLSessionPtr& session, const net::TaskPtr& task,
                           const net::URLAuthenticationChallenge& challenge, const net::ChallengeCompletion& completion);
  // A new body stream: what taskNeedNewBodyStream answers, else none.
  void needNewBodyStream(const net::URLSessionPtr& session, const net::TaskPtr& task,
                         const net::BodyStreamCompletion& completion);
  // Completion: with taskDidCompleteWithError set, only that runs and the gate stays closed.
  // Otherwise `error` is recorded unless an error is recorded already, and the gate opens.
  virtual void didCompleteWithError(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                    const std::optional<AnyError>& error);

 protected:
  // Sets the first-response time unless it is set.
  void markInitialResponse();
  // Schedules `handler` (if any) asynchronously on its queue with the progress that `read`
  // gives when the callback runs; nothing runs once the delegate is gone.
  void scheduleProgress(const std::optional<ProgressHandler>& handler,
                        std::function<std::shared_ptr<Progress>(const TaskDelegate&)> read);
  // Guards the plain fields of this class and of the kinds.
  mutable std::mutex stateMutex_;

 private:
  std::shared_ptr<foundation::OperationQueue> queue_;
  std::optional<AnyError> error_;
  std::optional<double> initialResponseTime_;
  std::shared_ptr<const net::URLCredential> credential_;
  std::shared_ptr<const foundation::Object> metrics_;

  mutable std::mutex taskLock_;
  net::TaskPtr task_;
};

}  // namespace pipeline
