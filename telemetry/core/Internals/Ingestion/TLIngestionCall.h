#pragma once
// TLIngestionCall is one payload on its way to the ingestion service: what to send, how often it
// has been retried, its retry timer and the handler to call when it ends. From each attempt's
// outcome it decides whether to wait for the network, retry later or finish; when it finishes it
// calls the handler and then tells its ingestion the result.
//
// A call has no lock of its own: its ingestion's lock guards it, and every method but the
// constructor, setLock and retryCount must run holding that lock (the ingestion's own operations
// do). retryCount may be read from any thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Monitor.h"
#include "platform/net/URLResponse.h"
#include "telemetry/core/Internals/Ingestion/TLIngestionProtocol.h"

namespace dispatch {
class TimerSource;
}
class TLHttpIngestion;

class TLIngestionCall : public std::enable_shared_from_this<TLIngestionCall> {
 public:
  // A call with the retry table `retryIntervals` (seconds), not submitted, count 0.
  explicit TLIngestionCall(std::vector<double> retryIntervals);
  ~TLIngestionCall();
  TLIngestionCall(const TLIngestionCall&) = delete;
  TLIngestionCall& operator=(const TLIngestionCall&) = delete;

  // The lock of the ingestion that owns the call; retry timers take it before they act.
  void setLock(std::shared_ptr<foundation::Monitor> lock) { lock_ = std::move(lock); }

  // Whether retryCount has reached the table's length.
  bool hasReachedMaxRetries() const;
  // Whole seconds to wait before retry `retryCount`: h + a random integer in [0, h), with h half
  // the table's entry; 0 past the table's end.
  std::uint32_t delayForRetryCount(std::uint64_t retryCount) const;
  // Arms a one-shot timer for the next attempt after delayForRetryCount(retryCount), logs the
  // WARNING, and counts the retry. A timer armed before is cancelled.
  void startRetryTimerWithStatusCode(std::uint64_t statusCode);
  // Cancels the armed timer, if any.
  void resetTimer();
  // Count back to 0, timer cancelled.
  void resetRetry();

  // The outcome of one attempt (ingestion:callCompletedWithResponse:data:error:): waits for the
  // network, retries later, or finishes by calling the handler and then the delegate's
  // call(call, result). Runs with `ingestion`'s lock held.
  void ingestion(TLHttpIngestion& ingestion, std::shared_ptr<const net::HTTPURLResponse> response,
                 std::optional<foundation::Data> data, std::optional<foundation::Error> error);

  bool isSubmitted() const { return submitted_; }
  void setSubmitted(bool submitted) { submitted_ = submitted; }
  const TLSendAsyncCompletionHandler& completionHandler() const { return completionHandler_; }
  void setCompletionHandler(TLSendAsyncCompletionHandler handler) { completionHandler_ = std::move(handler); }
  const std::shared_ptr<TLLogContainer>& data() const { return data_; }
  void setData(std::shared_ptr<TLLogContainer> data) { data_ = std::move(data); }
  const std::string& callId() const { return callId_; }
  void setCallId(std::string callId) { callId_ = std::move(callId); }
  std::shared_ptr<TLIngestionCallDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<TLIngestionCallDelegate>& delegate) { delegate_ = delegate; }
  const std::optional<std::string>& eTag() const { return eTag_; }
  void setETag(std::optional<std::string> eTag) { eTag_ = std::move(eTag); }
  const std::optional<std::string>& authToken() const { return authToken_; }
  void setAuthToken(std::optional<std::string> authToken) { authToken_ = std::move(authToken); }
  // The armed retry timer, or null.
  const std::shared_ptr<dispatch::TimerSource>& timerSource() const { return timerSource_; }
  // The retries counted so far; safe from any thread (written under the lock, on a worker).
  std::uint64_t retryCount() const { return retryCount_.load(std::memory_order_relaxed); }
  const std::vector<double>& retryIntervals() const { return retryIntervals_; }

 private:
  void retryTimerFired(std::uint64_t generation);

  bool submitted_ = false;
  TLSendAsyncCompletionHandler completionHandler_;
  std::shared_ptr<TLLogContainer> data_;
  std::string callId_;
  std::weak_ptr<TLIngestionCallDelegate> delegate_;
  std::optional<std::string> eTag_;
  std::optional<std::string> authToken_;
  std::shared_ptr<dispatch::TimerSource> timerSource_;
  std::uint64_t timerGeneration_ = 0;  // identifies the armed timer, so a stale firing is ignored
  std::atomic<std::uint64_t> retryCount_ = 0;
  std::vector<double> retryIntervals_;
  std::shared_ptr<foundation::Monitor> lock_ = std::make_shared<foundation::Monitor>();
};
