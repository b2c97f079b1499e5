#pragma once
// Request is the handle of one URL session task of the client: the object that the session
// manager returns for every data, download, upload or stream request, on which callers register
// validations and response handlers. It owns the request's TaskDelegate (with the completion
// gate), keeps the time stamps of its Timeline, starts, pauses and cancels the task and posts the
// task notifications, and describes itself as text and as a cURL command line.
//
// A request may have no task: when building its URL request or task failed, it carries the error
// in its task delegate, and resume() opens the gate so its handlers report that error.
//
// Requests are shared (std::shared_ptr): the caller, the session delegate's table and the queued
// handlers hold them. Every operation may be called from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/pipeline/RequestTask.h"
#include "net/pipeline/Result.h"
#include "net/pipeline/TaskDelegate.h"
#include "net/pipeline/Timeline.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLCredential.h"
#include "platform/net/URLSession.h"

namespace pipeline {

class Request : public foundation::Object, public std::enable_shared_from_this<Request> {
 public:
  // The outcome of one validation check.
  class ValidationResult {
   public:
    static ValidationResult success() { return ValidationResult(std::nullopt); }
    static ValidationResult failure(AnyError error) { return ValidationResult(std::move(error)); }
    bool isSuccess() const { return !error_; }
    // The failure's error; nothing for success.
    const std::optional<AnyError>& error() const { return error_; }

   private:
    explicit ValidationResult(std::optional<AnyError> error) : error_(std::move(error)) {}
    std::optional<AnyError> error_;
  };

  ~Request() override;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  const net::URLSessionPtr& session() const { return session_; }
  // Retries so far; the session manager adds one before each retry.
  unsigned retryCount() const;
  void setRetryCount(unsigned count);
  // The description the task was (or would have been) created from; null when there is none.
  const std::shared_ptr<const TaskConvertible>& originalTask() const { return originalTask_; }
  // Absolute times: the first resume() that found a task, and the opening of the gate.
  std::optional<double> startTime() const;
  void setStartTime(std::optional<double> time);
  std::optional<double> endTime() const;
  void setEndTime(std::optional<double> time);

  // The task delegate, read and replaced under the request's delegate lock. Never null.
  std::shared_ptr<TaskDelegate> delegate() const;
  void setDelegate(std::shared_ptr<TaskDelegate> delegate);
  // The task (null when creating it failed).
  net::TaskPtr task() const;
  // The task's original URL request; the kinds fall back to their task description.
  virtual std::optional<net::URLRequest> request() const;
  // The task's response when it is an HTTP response, else null.
  std::shared_ptr<const net::HTTPURLResponse> response() const;

  // The registered validations, in order; the session delegate runs them at completion.
  std::vector<std::function<void()>> validations() const;
  void appendValidation(std::function<void()> validation);

  // Answers authentication challenges with a password credential of `persistence`.
  Request& authenticate(const std::string& user, const std::string& password,
                        net::URLCredentialPersistence persistence = net::URLCredentialPersistence::ForSession);
  // Answers authentication challenges with `credential`.
  Request& authenticate(std::shared_ptr<const net::URLCredential> credential);
  // ("Authorization", "Basic " + Base64 of "user:password").
  static std::optional<std::pair<std::string, std::string>> authorizationHeader(const std::string& user,
                                                                                const std::string& password);

  // Starts or continues the task and posts DidResume; without a task, opens the gate instead
  // (the handlers then report the stored error) and posts nothing.
  virtual void resume();
  // Pauses the task and posts DidSuspend; nothing without a task.
  virtual void suspend();
  // Cancels the task and posts DidCancel; nothing without a task.
  virtual void cancel();

  // "METHOD URL (status)", leaving out what is not known.
  std::string description() const override;
  // A cURL command that repeats the request, or "$ curl command could not be created".
  std::string debugDescription() const;

  // The Timeline of a response being assembled now.
  Timeline captureTimeline() const;

  // The built-in serialization rules. Each: a given error is the failure; a status of 204 or
  // 205 gives the rule's empty value; then the rule itself.
  static Result<foundation::Data> serializeResponseData(const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                        const std::optional<foundation::Data>& data,
                                                        const std::optional<AnyError>& error);
  // Decodes with `encoding`, else the response's text encoding name, else ISO Latin 1.
  static Result<std::string> serializeResponseString(std::optional<foundation::StringEncoding> encoding,
                                                     const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                     const std::optional<foundation::Data>& data,
                                                     const std::optional<AnyError>& error);
  // The parsed JSON value (null for 204 and 205), with the JSON reading options.
  static Result<foundation::Value> serializeResponseJSON(unsigned options,
                                                         const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                         const std::optional<foundation::Data>& data,
                                                         const std::optional<AnyError>& error);
  // The parsed property list (null for 204 and 205), with the mutability options.
  static Result<foundation::Value> serializeResponsePropertyList(
      unsigned options, const std::shared_ptr<const net::HTTPURLResponse>& response,
      const std::optional<foundation::Data>& data, const std::optional<AnyError>& error);

 protected:
  // Builds the request with the task delegate of `requestTask`'s kind and `error` recorded in it.
  // The kinds' factories call installEndTimeOperation() once the request is shared.
  Request(net::URLSessionPtr session, RequestTask requestTask, std::optional<AnyError> error);
  // The gate's first operation: it stamps endTime, and holds the request until it has run.
  void installEndTimeOperation();
  // Posts `name` with this request and its task.
  void postTaskNotification(const std::string& name, const net::TaskPtr& task);

 private:
  const net::URLSessionPtr session_;
  const std::shared_ptr<const TaskConvertible> originalTask_;

  mutable std::mutex stateMutex_;
  unsigned retryCount_ = 0;
  std::optional<double> startTime_;
  std::optional<double> endTime_;
  std::vector<std::function<void()>> validations_;

  mutable std::mutex taskDelegateLock_;
  std::shared_ptr<TaskDelegate> taskDelegate_;
};

}  // namespace pipeline
