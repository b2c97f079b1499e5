#pragma once
// SessionCore is the engine behind a URL session: it owns the libcurl multi handle and the
// thread that drives it, the table of live tasks, and the ordered delivery of delegate
// callbacks to the delegate queue. Internal to the URL loading layer: clients use URLSession.
//
// Threads: every curl call happens on the engine thread. Other threads hand work to it through
// post(), which wakes the multi handle. Delegate callbacks are queued in order and handed to
// the delegate queue one at a time.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/OperationQueue.h"
#include "platform/net/URLSession.h"

namespace net::detail {

struct Transfer;

// What a task sends and to whom it reports, fixed when the task is made.
struct TaskSetup {
  enum class Body { None, Data, File, Stream };
  Body body = Body::None;
  std::shared_ptr<const foundation::Data> data;
  std::string filePath;
  std::shared_ptr<InputStream> stream;
  URLSession::DataCompletionHandler dataHandler;
  URLSession::DownloadCompletionHandler downloadHandler;
  std::optional<foundation::Data> resumeData;
};

class SessionCore : public std::enable_shared_from_this<SessionCore> {
 public:
  SessionCore(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
              std::shared_ptr<foundation::OperationQueue> delegateQueue);
  ~SessionCore();

  // Starts the engine thread; the core keeps `session` alive until it is invalidated.
  void start(const std::shared_ptr<URLSession>& session);

  const URLSessionConfiguration& configuration() const { return config_; }
  std::shared_ptr<URLSessionDelegate> delegate() const;
  const std::shared_ptr<foundation::OperationQueue>& delegateQueue() const { return delegateQueue_; }
  std::shared_ptr<URLSession> session() const;

  // Makes and registers a task of type T.
  template <typename T, typename... Args>
  std::shared_ptr<T> makeTask(TaskSetup setup, Args&&... args);

  // Task operations, from any thread; the task's state has already been changed.
  void taskResumed(const std::shared_ptr<URLSessionTask>& task);
  void taskSuspended(const std::shared_ptr<URLSessionTask>& task);
  void taskCancelled(const std::shared_ptr<URLSessionTask>& task);
  void cancelProducingResumeData(const std::shared_ptr<URLSessionTask>& task,
                                 std::function<void(std::optional<foundation::Data>)> completion);

  std::vector<std::shared_ptr<URLSessionTask>> liveTasks() const;
  void invalidate(bool cancelTasks);
  bool isInvalidated() const { return invalidated_.load(); }

  std::string sessionDescription() const;
  void setSessionDescription(std::string description);
  void setAssociatedObject(const std::string& key, std::shared_ptr<void> value);
  std::shared_ptr<void> associatedObject(const std::string& key) const;

  // Queues `block` for the delegate queue, after every block queued before it.
  void deliver(std::function<void()> block);
  // Delivers one delegate callback: runs `call` when the delegate answers `callback` and
  // implements it; otherwise (or with no delegate) runs `fallback`, if any, in its place.
  void deliverCallback(URLSessionCallback callback,
                       std::function<void(URLSessionDelegate&, const std::shared_ptr<URLSession>&)> call,
                       std::function<void()> fallback = {});
  // Runs `call` now when the delegate answers `callback` and implements it; returns whether it
  // did. For blocks already running on the delegate queue.
  bool callDelegate(URLSessionCallback callback,
                    const std::function<void(URLSessionDelegate&, const std::shared_ptr<URLSession>&)>& call);
  // Hands `command` to the engine thread.
  void post(std::function<void()> command);

  // Engine-side parts, implemented in Transfer code.
  struct Engine;

 private:
  void registerTask(const std::shared_ptr<URLSessionTask>& task, TaskSetup setup);
  void run();
  void drainOne();

  const URLSessionConfiguration config_;
  const std::shared_ptr<foundation::OperationQueue> delegateQueue_;
  std::atomic<std::uint64_t> nextIdentifier_{1};
  std::atomic<bool> invalidated_{false};

  mutable std::mutex mutex_;  // guards the fields below
  std::shared_ptr<URLSessionDelegate> delegate_;
  std::shared_ptr<URLSession> keepAlive_;
  std::weak_ptr<URLSession> session_;
  std::string description_;
  std::map<std::string, std::shared_ptr<void>> associated_;
  std::map<std::uint64_t, std::shared_ptr<URLSessionTask>> live_;
  std::map<std::uint64_t, TaskSetup> setups_;

  std::mutex deliveryMutex_;
  std::deque<std::function<void()>> deliveries_;
  bool deliveryScheduled_ = false;

  std::recursive_mutex commandMutex_;  // held while a late command runs after the engine stopped
  std::vector<std::function<void()>> commands_;
  bool stopped_ = false;
  std::unique_ptr<Engine> engine_;

  friend struct Engine;
  friend struct Transfer;
};

template <typename T, typename... Args>
std::shared_ptr<T> SessionCore::makeTask(TaskSetup setup, Args&&... args) {
  std::uint64_t identifier = nextIdentifier_.fetch_add(1);
  std::shared_ptr<T> task(new T(identifier, std::forward<Args>(args)..., weak_from_this()));
  registerTask(task, std::move(setup));
  return task;
}

}  // namespace net::detail
