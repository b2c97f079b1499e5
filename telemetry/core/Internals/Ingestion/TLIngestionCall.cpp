#include "telemetry/core/Internals/Ingestion/TLIngestionCall.h"

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/net/URLError.h"
#include "telemetry/core/Internals/Ingestion/TLHttpIngestion.h"
#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"
#include "telemetry/core/Internals/Util/TL_Reachability.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

TLIngestionCall::TLIngestionCall(std::vector<double> retryIntervals) : retryIntervals_(std::move(retryIntervals)) {}

TLIngestionCall::~TLIngestionCall() {
  if (timerSource_) timerSource_->cancel();
}

bool TLIngestionCall::hasReachedMaxRetries() const { return retryCount() >= retryIntervals_.size(); }

std::uint32_t TLIngestionCall::delayForRetryCount(std::uint64_t retryCount) const {
  if (retryCount >= retryIntervals_.size()) return 0;
  const auto half = static_cast<std::uint32_t>(retryIntervals_[retryCount]) / 2;
  return TLHttpUtil::jitteredDelay(half);
}

void TLIngestionCall::startRetryTimerWithStatusCode(std::uint64_t statusCode) {
  resetTimer();
  auto source = dispatch::TimerSource::create(dispatch::globalQueue());
  const std::uint64_t attempt = retryCount();
  const std::uint32_t delay = delayForRetryCount(attempt);
  TLLogWarning(kTLLogTag, "Call attempt #%tu failed with status code: %tu, it will be retried in %.f ms.", attempt,
               statusCode, delay * 1000.0);
  // Only writers hold the lock; the store is atomic for readers that do not.
  retryCount_.store(attempt + 1, std::memory_order_relaxed);
  const std::uint64_t generation = ++timerGeneration_;
  // The handler only hands over to another block: the work takes the ingestion's lock, and a
  // thread that cancels this timer while holding that lock waits for a running handler.
  source->setEventHandler([weak = weak_from_this(), generation] {
    dispatch::globalQueue()->async([weak, generation] {
      if (auto self = weak.lock()) self->retryTimerFired(generation);
    });
  });
  source->setTimer(dispatch::seconds(delay), dispatch::kForever, std::chrono::seconds(1));
  source->resume();
  timerSource_ = std::move(source);
}

void TLIngestionCall::retryTimerFired(std::uint64_t generation) {
  std::lock_guard guard(*lock_);
  // Reset or re-armed since it fired: the attempt it stood for was already made or dropped.
  if (!timerSource_ || generation != timerGeneration_) return;
  // Cancelled before sending: a fast failure of the attempt arms the next timer, which must stay.
  resetTimer();
  if (auto delegate = delegate_.lock()) delegate->sendCallAsync(shared_from_this());
}

void TLIngestionCall::resetTimer() {
  if (!timerSource_) return;
  timerSource_->cancel();
  timerSource_.reset();
}

void TLIngestionCall::resetRetry() {
  retryCount_.store(0, std::memory_order_relaxed);
  resetTimer();
}

void TLIngestionCall::ingestion(TLHttpIngestion& ingestion, std::shared_ptr<const net::HTTPURLResponse> response,
                                std::optional<foundation::Data> data, std::optional<foundation::Error> error) {
  if (error && (TLHttpUtil::isNoInternetConnectionError(*error) || TLHttpUtil::isSSLConnectionError(*error))) {
    // A connection the server dropped while the network is up brings no network change, so no
    // resume would ever re-send the call: it counts as an attempt without a response instead.
    const auto reachability = ingestion.reachability();
    const bool droppedByServer = error->code() == net::URLErrorNetworkConnectionLost && reachability &&
                                 reachability->currentReachabilityStatus() != TLNetworkStatusNotReachable;
    if (!droppedByServer) {
      resetRetry();
      TLLogInfo(kTLLogTag, "Ingestion call failed with error: %@",
                TLHttpUtil::isNoInternetConnectionError(*error) ? "Internet connection is down."
                                                                : "Could not establish secure connection.");
      return;
    }
  }
  const std::int64_t statusCode = response ? response->statusCode() : 0;
  if (TLHttpUtil::isRecoverableError(statusCode) && !hasReachedMaxRetries()) {
    startRetryTimerWithStatusCode(static_cast<std::uint64_t>(statusCode));
    return;
  }
  if (!error && statusCode != 200) {
    foundation::Dictionary userInfo{{foundation::kLocalizedDescriptionKey, "An HTTP error occured."},
                                    {kTLConnectionHttpCodeErrorKey, statusCode}};
    error = foundation::Error(kTLErrorDomain, TLConnectionHttpErrorCode, std::move(userInfo));
  }
  const bool exhausted = TLHttpUtil::isRecoverableError(statusCode) && hasReachedMaxRetries();
  const bool fatal = error && !exhausted && error->code() != net::URLErrorCancelled;
  if (completionHandler_) completionHandler_(callId_, response, data, error);
  const TLIngestionCallResult result = exhausted ? TLIngestionCallResultRecoverableError
                                       : fatal   ? TLIngestionCallResultFatalError
                                                 : TLIngestionCallResultSuccess;
  if (auto delegate = delegate_.lock()) delegate->call(shared_from_this(), result);
}
