#pragma once
// A session delegate for tests: records every callback in order as a short text, keeps the
// response, the body and the outcome, and lets a test wait for completion and invalidation.
// Each answering callback can be scripted; unscripted ones report themselves not implemented
// so that the session's defaults apply.
#include <condition_variable>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/net/URLSession.h"

namespace test {

class RecordingDelegate : public net::URLSessionDelegate {
 public:
  using Session = net::URLSessionPtr;

  std::function<void(const net::URLAuthenticationChallenge&, net::ChallengeCompletion)> onChallenge;
  std::function<void(const net::URLAuthenticationChallenge&, net::ChallengeCompletion)> onSessionChallenge;
  std::function<void(const net::HTTPURLResponse&, const net::URLRequest&, net::RedirectCompletion)> onRedirect;
  std::function<void(const net::URLResponse&, net::ResponseCompletion)> onResponse;
  std::function<void(const net::DataTaskPtr&, const foundation::Data&)> onData;
  std::function<void(const net::URL&)> onDownloaded;
  std::function<void(net::BodyStreamCompletion)> onNeedBodyStream;
  std::vector<net::URLSessionCallback> declined;

  bool respondsTo(net::URLSessionCallback callback) const override {
    return std::find(declined.begin(), declined.end(), callback) == declined.end();
  }

  void didBecomeInvalid(const Session&, const std::optional<foundation::Error>&) override {
    record("invalid");
    std::lock_guard lock(mutex_);
    invalidated = true;
    cv_.notify_all();
  }
  void didReceiveChallenge(const Session&, const net::URLAuthenticationChallenge& c,
                           net::ChallengeCompletion completion) override {
    if (!onSessionChallenge) return notImplemented();
    record("session-challenge");
    onSessionChallenge(c, completion);
  }
  void taskDidReceiveChallenge(const Session&, const net::TaskPtr&, const net::URLAuthenticationChallenge& c,
                               net::ChallengeCompletion completion) override {
    if (!onChallenge) return notImplemented();
    record("challenge");
    {
      std::lock_guard lock(mutex_);
      failureCounts.push_back(c.previousFailureCount());
      methods.push_back(c.protectionSpace().authenticationMethod());
    }
    onChallenge(c, completion);
  }
  void willPerformHTTPRedirection(const Session&, const net::TaskPtr&,
                                  const std::shared_ptr<const net::HTTPURLResponse>& response,
                                  const net::URLRequest& request, net::RedirectCompletion completion) override {
    if (!onRedirect) return notImplemented();
    record("redirect " + std::to_string(response->statusCode()));
    onRedirect(*response, request, completion);
  }
  void needNewBodyStream(const Session&, const net::TaskPtr&, net::BodyStreamCompletion completion) override {
    if (!onNeedBodyStream) return notImplemented();
    record("need-stream");
    onNeedBodyStream(completion);
  }
  void didSendBodyData(const Session&, const net::TaskPtr&, std::int64_t, std::int64_t total,
                       std::int64_t expected) override {
    std::lock_guard lock(mutex_);
    totalSent = total;
    expectedToSend = expected;
  }
  void didFinishCollectingMetrics(const Session&, const net::TaskPtr&,
                                  const std::shared_ptr<const net::URLSessionTaskMetrics>& m) override {
    record("metrics");
    std::lock_guard lock(mutex_);
    metrics = m;
  }
  void didCompleteWithError(const Session&, const net::TaskPtr& task,
                            const std::optional<foundation::Error>& e) override {
    record("complete");
    std::lock_guard lock(mutex_);
    error = e;
    completedTask = task;
    completed += 1;
    onDelegateQueue = currentQueueMatches();
    cv_.notify_all();
  }
  void didReceiveResponse(const Session&, const net::DataTaskPtr&, const std::shared_ptr<const net::URLResponse>& r,
                          net::ResponseCompletion completion) override {
    record("response");
    {
      std::lock_guard lock(mutex_);
      response = r;
    }
    if (onResponse) return onResponse(*r, completion);
    completion(net::URLSessionResponseDisposition::Allow);
  }
  void didBecomeDownloadTask(const Session&, const net::DataTaskPtr&, const net::DownloadTaskPtr& task) override {
    record("became-download");
    std::lock_guard lock(mutex_);
    downloadTask = task;
  }
  void didReceiveData(const Session&, const net::DataTaskPtr& task, const foundation::Data& data) override {
    {
      std::lock_guard lock(mutex_);
      if (events.empty() || events.back() != "data") events.push_back("data");
      body.insert(body.end(), data.begin(), data.end());
      cv_.notify_all();
    }
    if (onData) onData(task, data);
  }
  void didFinishDownloadingToURL(const Session&, const net::DownloadTaskPtr&, const net::URL& location) override {
    record("downloaded");
    if (onDownloaded) onDownloaded(location);
    std::lock_guard lock(mutex_);
    downloadLocation = location;
  }
  void didWriteData(const Session&, const net::DownloadTaskPtr&, std::int64_t, std::int64_t total,
                    std::int64_t expected) override {
    std::lock_guard lock(mutex_);
    if (events.empty() || events.back() != "write") events.push_back("write");
    totalWritten = total;
    expectedToWrite = expected;
    cv_.notify_all();
  }
  void didResumeAtOffset(const Session&, const net::DownloadTaskPtr&, std::int64_t offset, std::int64_t expected) override {
    record("resumed " + std::to_string(offset));
    std::lock_guard lock(mutex_);
    expectedToWrite = expected;
  }

  // Waits until `count` tasks have completed; false after the time limit.
  bool waitForCompletion(int count = 1, std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return completed >= count; });
  }
  bool waitForInvalidation(std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return invalidated; });
  }
  // Waits until at least `bytes` body bytes (data or written) have arrived.
  bool waitForBytes(std::size_t bytes, std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return body.size() >= bytes || totalWritten >= std::int64_t(bytes); });
  }

  std::vector<std::string> eventsSnapshot() {
    std::lock_guard lock(mutex_);
    return events;
  }
  std::size_t bodySize() {
    std::lock_guard lock(mutex_);
    return body.size();
  }
  std::string bodyText() {
    std::lock_guard lock(mutex_);
    return std::string(body.begin(), body.end());
  }

  void record(const std::string& event) {
    std::lock_guard lock(mutex_);
    events.push_back(event);
  }

  // The delegate queue the session must deliver on; set by the test when it made one.
  std::shared_ptr<foundation::OperationQueue> expectedQueue;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events;
  foundation::Data body;
  std::shared_ptr<const net::URLResponse> response;
  std::shared_ptr<const net::URLSessionTaskMetrics> metrics;
  std::optional<foundation::Error> error;
  net::TaskPtr completedTask;
  net::DownloadTaskPtr downloadTask;
  std::optional<net::URL> downloadLocation;
  std::vector<long> failureCounts;
  std::vector<std::string> methods;
  std::int64_t totalSent = 0, expectedToSend = 0, totalWritten = 0, expectedToWrite = 0;
  int completed = 0;
  bool invalidated = false;
  bool onDelegateQueue = false;

 private:
  bool currentQueueMatches() const {
    return !expectedQueue || foundation::OperationQueue::currentQueue() == expectedQueue;
  }
};

// A session made for one test and invalidated (cancelling what is left) when the test ends.
struct SessionFixture {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<foundation::OperationQueue> queue = [] {
    auto q = foundation::OperationQueue::create();
    q->setMaxConcurrentOperationCount(1);
    return q;
  }();
  std::shared_ptr<net::URLSession> session;

  explicit SessionFixture(net::URLSessionConfiguration configuration = net::URLSessionConfiguration::ephemeralSessionConfiguration()) {
    delegate->expectedQueue = queue;
    session = net::URLSession::create(std::move(configuration), delegate, queue);
  }
  ~SessionFixture() {
    session->invalidateAndCancel();
    delegate->waitForInvalidation(std::chrono::seconds(10));
  }
};

}  // namespace test
