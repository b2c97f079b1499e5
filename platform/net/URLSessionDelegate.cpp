#include "platform/net/URLSessionDelegate.h"

namespace net {
namespace {
thread_local bool tNotImplemented = false;
}

URLSessionDelegate::~URLSessionDelegate() = default;

bool URLSessionDelegate::respondsTo(URLSessionCallback) const { return true; }

void URLSessionDelegate::notImplemented() { tNotImplemented = true; }

bool URLSessionDelegate::invoke(const std::function<void()>& call) {
  // Nested deliveries (a delegate forwarding to another) keep their own answer.
  bool outer = tNotImplemented;
  tNotImplemented = false;
  call();
  bool implemented = !tNotImplemented;
  tNotImplemented = outer;
  return implemented;
}

void URLSessionDelegate::didBecomeInvalid(const URLSessionPtr&, const std::optional<foundation::Error>&) {
  notImplemented();
}
void URLSessionDelegate::didReceiveChallenge(const URLSessionPtr&, const URLAuthenticationChallenge&,
                                             ChallengeCompletion) {
  notImplemented();
}
void URLSessionDelegate::didFinishEventsForBackgroundSession(const URLSessionPtr&) { notImplemented(); }
void URLSessionDelegate::willPerformHTTPRedirection(const URLSessionPtr&, const TaskPtr&,
                                                    const std::shared_ptr<const HTTPURLResponse>&, const URLRequest&,
                                                    RedirectCompletion) {
  notImplemented();
}
void URLSessionDelegate::taskDidReceiveChallenge(const URLSessionPtr&, const TaskPtr&,
                                                 const URLAuthenticationChallenge&, ChallengeCompletion) {
  notImplemented();
}
void URLSessionDelegate::needNewBodyStream(const URLSessionPtr&, const TaskPtr&, BodyStreamCompletion) {
  notImplemented();
}
void URLSessionDelegate::didSendBodyData(const URLSessionPtr&, const TaskPtr&, std::int64_t, std::int64_t,
                                         std::int64_t) {
  notImplemented();
}
void URLSessionDelegate::didFinishCollectingMetrics(const URLSessionPtr&, const TaskPtr&,
                                                    const std::shared_ptr<const URLSessionTaskMetrics>&) {
  notImplemented();
}
void URLSessionDelegate::didCompleteWithError(const URLSessionPtr&, const TaskPtr&,
                                              const std::optional<foundation::Error>&) {
  notImplemented();
}
void URLSessionDelegate::didReceiveResponse(const URLSessionPtr&, const DataTaskPtr&,
                                            const std::shared_ptr<const URLResponse>&, ResponseCompletion) {
  notImplemented();
}
void URLSessionDelegate::didBecomeDownloadTask(const URLSessionPtr&, const DataTaskPtr&, const DownloadTaskPtr&) {
  notImplemented();
}
void URLSessionDelegate::didBecomeStreamTask(const URLSessionPtr&, const DataTaskPtr&, const StreamTaskPtr&) {
  notImplemented();
}
void URLSessionDelegate::didReceiveData(const URLSessionPtr&, const DataTaskPtr&, const foundation::Data&) {
  notImplemented();
}
void URLSessionDelegate::willCacheResponse(const URLSessionPtr&, const DataTaskPtr&,
                                           const std::shared_ptr<const CachedURLResponse>&, CacheCompletion) {
  notImplemented();
}
void URLSessionDelegate::didFinishDownloadingToURL(const URLSessionPtr&, const DownloadTaskPtr&, const URL&) {
  notImplemented();
}
void URLSessionDelegate::didWriteData(const URLSessionPtr&, const DownloadTaskPtr&, std::int64_t, std::int64_t,
                                      std::int64_t) {
  notImplemented();
}
void URLSessionDelegate::didResumeAtOffset(const URLSessionPtr&, const DownloadTaskPtr&, std::int64_t,
                                           std::int64_t) {
  notImplemented();
}
void URLSessionDelegate::readClosed(const URLSessionPtr&, const StreamTaskPtr&) { notImplemented(); }
void URLSessionDelegate::writeClosed(const URLSessionPtr&, const StreamTaskPtr&) { notImplemented(); }
void URLSessionDelegate::betterRouteDiscovered(const URLSessionPtr&, const StreamTaskPtr&) { notImplemented(); }
void URLSessionDelegate::didBecomeInputAndOutputStreams(const URLSessionPtr&, const StreamTaskPtr&,
                                                        const std::shared_ptr<InputStream>&,
                                                        const std::shared_ptr<foundation::Object>&) {
  notImplemented();
}

}  // namespace net
