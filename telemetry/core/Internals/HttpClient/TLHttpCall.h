#pragma once
// TLHttpCall is one request of the HTTP client, in flight or waiting: what to send (the body
// compressed when so decided), how often it has been retried, its retry timer and the handler of
// its final outcome. Its own lock guards its retry count and timer; the client's lock guards the
// rest.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/core/Internals/HttpClient/TLHttpClientProtocol.h"

namespace dispatch {
class TimerSource;
}

class TLHttpCall : public std::enable_shared_from_this<TLHttpCall> {
 public:
  // Bodies this long or longer are gzipped when compression is on.
  static constexpr std::size_t kCompressionThreshold = 1400;

  // A call of `method` to `url`. A body of kCompressionThreshold bytes or more is gzipped (with
  // "Content-Encoding: gzip") when `compressionEnabled` and compression succeeds; a body without
  // "Content-Type" gets "application/json".
  TLHttpCall(net::URL url, std::string method, const std::optional<net::HTTPHeaderFields>& headers,
             const std::optional<foundation::Data>& data, std::vector<double> retryIntervals,
             bool compressionEnabled, TLHttpRequestCompletionHandler completionHandler);
  ~TLHttpCall();
  TLHttpCall(const TLHttpCall&) = delete;
  TLHttpCall& operator=(const TLHttpCall&) = delete;

  // Whether as many retries were started as the table has entries. Thread-safe.
  bool hasReachedMaxRetries() const;
  // Cancels the retry timer and sets the count back to 0. Thread-safe.
  void resetRetry();
  // Cancels the retry timer, keeping the count. Thread-safe.
  void resetTimer();
  // Milliseconds to wait before retry `retryCount`: h + a random integer in [0, h), with h half
  // the table's entry in milliseconds. Only meaningful below the table's length.
  std::uint32_t delayForRetryCount(std::uint32_t retryCount) const;
  // Arms a one-shot timer that runs `event` on the default global queue after `retryAfter`
  // milliseconds when given, else after delayForRetryCount(retryCount); logs the WARNING and
  // counts the retry. A timer armed before, or reset meanwhile, never runs its event. Thread-safe.
  void startRetryTimerWithStatusCode(std::uint64_t statusCode, std::optional<std::uint32_t> retryAfter,
                                     std::function<void()> event);

  // Read and written under the client's lock.
  bool isInProgress() const { return inProgress_; }
  void setInProgress(bool inProgress) { inProgress_ = inProgress; }
  // Set once the handler has been handed the final outcome; the call is never sent again.
  bool isFinished() const { return finished_; }
  void setFinished() { finished_ = true; }

  std::int32_t retryCount() const;
  const foundation::Data& data() const { return data_; }
  const net::HTTPHeaderFields& headers() const { return headers_; }
  const net::URL& url() const { return url_; }
  const std::string& method() const { return method_; }
  const TLHttpRequestCompletionHandler& completionHandler() const { return completionHandler_; }
  const std::vector<double>& retryIntervals() const { return retryIntervals_; }
  bool hasBody() const { return hasBody_; }

 private:
  void resetTimerLocked();
  void retryTimerFired(std::uint64_t generation);

  bool inProgress_ = false;
  bool finished_ = false;
  bool hasBody_ = false;
  foundation::Data data_;
  net::HTTPHeaderFields headers_;
  const net::URL url_;
  const std::string method_;
  const TLHttpRequestCompletionHandler completionHandler_;
  const std::vector<double> retryIntervals_;

  mutable std::mutex mutex_;  // guards the three below
  std::int32_t retryCount_ = 0;
  std::shared_ptr<dispatch::TimerSource> timerSource_;
  std::uint64_t timerGeneration_ = 0;
  std::function<void()> timerEvent_;
};
