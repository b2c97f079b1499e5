#pragma once
// URLSessionTask and its kinds stand in for the platform's session tasks: one load of a URL
// request in a URL session. A task is created suspended; resume() starts it (or continues it),
// suspend() pauses the transfer, cancel() ends it with the cancelled error (-999). The session
// reports the task's progress and outcome to its delegate, or to the completion handler the
// task was made with.
//
// Every operation is thread-safe. The public readings (state, response, byte counts) reflect
// the transfer as the session's transfer thread last updated them.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace net {

namespace detail { class SessionCore; }

// Task states, with the platform's values.
enum class URLSessionTaskState : int { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

// The platform's "size unknown" value of the byte counts.
inline constexpr std::int64_t kURLSessionTransferSizeUnknown = -1;

class URLSessionTask : public foundation::Object, public std::enable_shared_from_this<URLSessionTask> {
 public:
  enum class Kind { Data, Upload, Download, Stream };

  // What a resume or suspend call did, for the process-wide observers below.
  enum class Transition { Resume, Suspend };
  // An observer called synchronously on the calling thread after a resume() or suspend() that
  // changed the task's state (a resume of a running task, or a suspend of a suspended one,
  // calls nothing). The platform has no such hook; clients that need to hear of every task's
  // resume and suspend install one here.
  using TransitionObserver = std::function<void(const std::shared_ptr<URLSessionTask>&, Transition)>;
  // Adds an observer for every task of the process; returns a token for removal. Thread-safe.
  static std::uint64_t addTransitionObserver(TransitionObserver observer);
  // Removes an observer; after return it is not called again (unless it is running right now on
  // another thread). Thread-safe.
  static void removeTransitionObserver(std::uint64_t token);

  // The process's one hook around resume() and suspend(). The platform lets clients exchange
  // the task classes' resume and suspend at run time so that every task announces them; this
  // hook gives clients the same reach. It is called synchronously on the calling thread after
  // every resume() or suspend() call, whether or not the call changed anything, with the state
  // the task was in just before the call. Only one hook is ever installed: the first call
  // installs it and answers true; later calls change nothing and answer false. Thread-safe.
  using ResumeSuspendHook = void (*)(const std::shared_ptr<URLSessionTask>& task, Transition transition,
                                     URLSessionTaskState stateBefore);
  static bool installResumeSuspendHook(ResumeSuspendHook hook);

  ~URLSessionTask() override;
  URLSessionTask(const URLSessionTask&) = delete;
  URLSessionTask& operator=(const URLSessionTask&) = delete;

  Kind kind() const { return kind_; }
  // Unique among the tasks of one session.
  std::uint64_t taskIdentifier() const { return identifier_; }
  // The request the task was made with; nothing for a download made from resume data that
  // carried no request.
  const std::optional<URLRequest>& originalRequest() const { return originalRequest_; }
  // The request being loaded now (after redirects and added headers).
  std::optional<URLRequest> currentRequest() const;
  // The response once its headers have arrived, else null.
  std::shared_ptr<const URLResponse> response() const;
  URLSessionTaskState state() const;
  // The error the task completed with, if any.
  std::optional<foundation::Error> error() const;

  std::int64_t countOfBytesSent() const { return bytesSent_.load(); }
  std::int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }
  std::int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
  std::int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }

  // A caller's free text; the session never reads it.
  std::string taskDescription() const;
  void setTaskDescription(std::string description);
  // Carried for callers (0 to 1, default 0.5); transfers are not prioritised on Linux.
  float priority() const;
  void setPriority(float priority);

  // Starts or continues the task. No effect once it is cancelling or completed.
  void resume();
  // Pauses the transfer; the connection stays open. No effect unless running.
  void suspend();
  // Ends the task: the session completes it with the cancelled error (-999). No effect once
  // it is cancelling or completed.
  void cancel();

  std::string description() const override;

 protected:
  URLSessionTask(Kind kind, std::uint64_t identifier, std::optional<URLRequest> request,
                 std::weak_ptr<detail::SessionCore> core);

 protected:
  friend class detail::SessionCore;
  void notifyTransition(Transition transition);
  void callResumeSuspendHook(Transition transition, URLSessionTaskState stateBefore);

  const Kind kind_;
  const std::uint64_t identifier_;
  const std::optional<URLRequest> originalRequest_;
  const std::weak_ptr<detail::SessionCore> core_;

  mutable std::mutex mutex_;
  URLSessionTaskState state_ = URLSessionTaskState::Suspended;
  std::optional<URLRequest> currentRequest_;
  std::shared_ptr<const URLResponse> response_;
  std::optional<foundation::Error> error_;
  std::string taskDescription_;
  float priority_ = 0.5f;
  bool started_ = false;

  std::atomic<std::int64_t> bytesSent_{0};
  std::atomic<std::int64_t> bytesExpectedToSend_{0};
  std::atomic<std::int64_t> bytesReceived_{0};
  std::atomic<std::int64_t> bytesExpectedToReceive_{kURLSessionTransferSizeUnknown};
};

class URLSessionDataTask : public URLSessionTask {
 protected:
  URLSessionDataTask(std::uint64_t identifier, std::optional<URLRequest> request,
                     std::weak_ptr<detail::SessionCore> core, Kind kind = Kind::Data)
      : URLSessionTask(kind, identifier, std::move(request), std::move(core)) {}
  friend class detail::SessionCore;
};

class URLSessionUploadTask : public URLSessionDataTask {
 protected:
  URLSessionUploadTask(std::uint64_t identifier, std::optional<URLRequest> request,
                       std::weak_ptr<detail::SessionCore> core)
      : URLSessionDataTask(identifier, std::move(request), std::move(core), Kind::Upload) {}
  friend class detail::SessionCore;
};

class URLSessionDownloadTask : public URLSessionTask {
 public:
  // Cancels the task; `completion` receives the bytes from which a later download task can
  // continue (URLSession::downloadTaskWithResumeData), or nothing when the transfer cannot be
  // continued (no validator from the server, nothing received yet, or not a GET). It runs on
  // the session's delegate queue, before the delegate hears of the completion.
  void cancelByProducingResumeData(std::function<void(std::optional<foundation::Data>)> completion);

 protected:
  URLSessionDownloadTask(std::uint64_t identifier, std::optional<URLRequest> request,
                         std::weak_ptr<detail::SessionCore> core)
      : URLSessionTask(Kind::Download, identifier, std::move(request), std::move(core)) {}
  friend class detail::SessionCore;
};

// A TCP stream task to a host and port. This layer creates and tracks such tasks (so that
// clients can hold and cancel them) but does not open the connection or offer reads and writes:
// resuming one does nothing, cancelling it completes it with -999.
class URLSessionStreamTask : public URLSessionTask {
 public:
  const std::string& host() const { return host_; }
  int port() const { return port_; }

 protected:
  URLSessionStreamTask(std::uint64_t identifier, std::string host, int port, std::weak_ptr<detail::SessionCore> core);
  friend class detail::SessionCore;

 private:
  std::string host_;
  int port_;
};

}  // namespace net
