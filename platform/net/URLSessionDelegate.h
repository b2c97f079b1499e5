#pragma once
// URLSessionDelegate stands in for the platform's session, task, data, download and stream
// delegate protocols, folded into one abstract class. A session delivers each callback on its
// delegate queue, one at a time, in the order the events happened.
//
// Every method is optional. The defaults report "not implemented" (through notImplemented()),
// and the session then applies the platform's own behaviour: it follows redirects, allows
// responses, handles challenges by default, and so on. A subclass implements what it needs;
// it may also answer respondsTo() to decline a callback it implements, as clients that decide
// per instance do. Callbacks that take a completion must call it exactly once, on any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/net/InputStream.h"
#include "platform/net/URL.h"
#include "platform/net/URLAuthenticationChallenge.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSessionTask.h"
#include "platform/net/URLSessionTaskMetrics.h"

namespace net {

class URLSession;

// Dispositions of a received response, with the platform's values.
enum class URLSessionResponseDisposition : int { Cancel = 0, Allow = 1, BecomeDownload = 2, BecomeStream = 3 };

// A response offered for caching. This layer keeps no response cache, so the session never
// offers one; the type exists for the callback's signature.
struct CachedURLResponse {
  std::shared_ptr<const URLResponse> response;
  foundation::Data data;
};

// The delegate callbacks, for respondsTo().
enum class URLSessionCallback {
  DidBecomeInvalid,
  DidReceiveChallenge,
  DidFinishEventsForBackgroundSession,
  TaskWillPerformHTTPRedirection,
  TaskDidReceiveChallenge,
  TaskNeedNewBodyStream,
  TaskDidSendBodyData,
  TaskDidFinishCollectingMetrics,
  TaskDidComplete,
  DataTaskDidReceiveResponse,
  DataTaskDidBecomeDownloadTask,
  DataTaskDidReceiveData,
  DataTaskWillCacheResponse,
  DownloadTaskDidFinishDownloading,
  DownloadTaskDidWriteData,
  DownloadTaskDidResume,
  StreamTaskReadClosed,
  StreamTaskWriteClosed,
  StreamTaskBetterRouteDiscovered,
  StreamTaskDidBecomeStreams,
};

using URLSessionPtr = std::shared_ptr<URLSession>;
using TaskPtr = std::shared_ptr<URLSessionTask>;
using DataTaskPtr = std::shared_ptr<URLSessionDataTask>;
using DownloadTaskPtr = std::shared_ptr<URLSessionDownloadTask>;
using StreamTaskPtr = std::shared_ptr<URLSessionStreamTask>;
using ChallengeCompletion =
    std::function<void(URLSessionAuthChallengeDisposition, std::shared_ptr<const URLCredential>)>;
using RedirectCompletion = std::function<void(std::optional<URLRequest>)>;
using BodyStreamCompletion = std::function<void(std::shared_ptr<InputStream>)>;
using ResponseCompletion = std::function<void(URLSessionResponseDisposition)>;
using CacheCompletion = std::function<void(std::shared_ptr<const CachedURLResponse>)>;

class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate();

  // Whether the session should deliver `callback` at all; the default answers true, leaving it
  // to the method (a default method reports itself not implemented). Called on the delegate
  // queue right before each delivery.
  virtual bool respondsTo(URLSessionCallback callback) const;

  // Session: invalidated (the last callback; the session lets go of the delegate afterwards).
  virtual void didBecomeInvalid(const URLSessionPtr& session, const std::optional<foundation::Error>& error);
  // Session: a challenge not tied to one task (server trust when the task-level callback is
  // not implemented). Default handling when not implemented.
  virtual void didReceiveChallenge(const URLSessionPtr& session, const URLAuthenticationChallenge& challenge,
                                   ChallengeCompletion completion);
  virtual void didFinishEventsForBackgroundSession(const URLSessionPtr& session);

  // Task: the server redirects; answer the request to follow, or nothing to take the redirect
  // response as the final one. Not implemented: the proposed request is followed.
  virtual void willPerformHTTPRedirection(const URLSessionPtr& session, const TaskPtr& task,
                                          const std::shared_ptr<const HTTPURLResponse>& response,
                                          const URLRequest& newRequest, RedirectCompletion completion);
  // Task: a challenge for this task (server trust, HTTP Basic on 401). Not implemented: the
  // session-level callback is asked for server trust, else default handling.
  virtual void taskDidReceiveChallenge(const URLSessionPtr& session, const TaskPtr& task,
                                       const URLAuthenticationChallenge& challenge, ChallengeCompletion completion);
  // Task: the body stream must be sent again (after a redirect or an authentication retry).
  virtual void needNewBodyStream(const URLSessionPtr& session, const TaskPtr& task, BodyStreamCompletion completion);
  virtual void didSendBodyData(const URLSessionPtr& session, const TaskPtr& task, std::int64_t bytesSent,
                               std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend);
  virtual void didFinishCollectingMetrics(const URLSessionPtr& session, const TaskPtr& task,
                                          const std::shared_ptr<const URLSessionTaskMetrics>& metrics);
  virtual void didCompleteWithError(const URLSessionPtr& session, const TaskPtr& task,
                                    const std::optional<foundation::Error>& error);

  // Data: the response headers arrived; the transfer waits for the answer. Not implemented: allow.
  virtual void didReceiveResponse(const URLSessionPtr& session, const DataTaskPtr& task,
                                  const std::shared_ptr<const URLResponse>& response, ResponseCompletion completion);
  virtual void didBecomeDownloadTask(const URLSessionPtr& session, const DataTaskPtr& dataTask,
                                     const DownloadTaskPtr& downloadTask);
  virtual void didBecomeStreamTask(const URLSessionPtr& session, const DataTaskPtr& dataTask,
                                   const StreamTaskPtr& streamTask);
  virtual void didReceiveData(const URLSessionPtr& session, const DataTaskPtr& task, const foundation::Data& data);
  virtual void willCacheResponse(const URLSessionPtr& session, const DataTaskPtr& task,
                                 const std::shared_ptr<const CachedURLResponse>& proposed, CacheCompletion completion);

  // Download: the file at `location` holds the whole body; it is removed when this returns,
  // so move or copy it here.
  virtual void didFinishDownloadingToURL(const URLSessionPtr& session, const DownloadTaskPtr& task,
                                         const URL& location);
  virtual void didWriteData(const URLSessionPtr& session, const DownloadTaskPtr& task, std::int64_t bytesWritten,
                            std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite);
  virtual void didResumeAtOffset(const URLSessionPtr& session, const DownloadTaskPtr& task, std::int64_t fileOffset,
                                 std::int64_t expectedTotalBytes);

  // Stream tasks: never delivered by this layer (see URLSessionStreamTask).
  virtual void readClosed(const URLSessionPtr& session, const StreamTaskPtr& task);
  virtual void writeClosed(const URLSessionPtr& session, const StreamTaskPtr& task);
  virtual void betterRouteDiscovered(const URLSessionPtr& session, const StreamTaskPtr& task);
  virtual void didBecomeInputAndOutputStreams(const URLSessionPtr& session, const StreamTaskPtr& task,
                                              const std::shared_ptr<InputStream>& input,
                                              const std::shared_ptr<foundation::Object>& output);

  // Runs `call` (one delegate method) and reports whether the delegate implemented it, that is
  // whether the method ran without reporting notImplemented(). For the session, and for
  // delegates that forward to other delegates.
  static bool invoke(const std::function<void()>& call);

 protected:
  // Called by the default methods: marks the running callback as not implemented.
  static void notImplemented();
};

}  // namespace net
