#include "telemetry/core/Internals/HttpClient/TLHttpCall.h"

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"
#include "telemetry/core/Internals/Util/TLCompression.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

TLHttpCall::TLHttpCall(net::URL url, std::string method, const std::optional<net::HTTPHeaderFields>& headers,
                       const std::optional<foundation::Data>& data, std::vector<double> retryIntervals,
                       bool compressionEnabled, TLHttpRequestCompletionHandler completionHandler)
    : headers_(headers.value_or(net::HTTPHeaderFields())),
      url_(std::move(url)),
      method_(std::move(method)),
      completionHandler_(std::move(completionHandler)),
      retryIntervals_(std::move(retryIntervals)) {
  if (!data) return;
  hasBody_ = true;
  data_ = *data;
  if (compressionEnabled && data_.size() >= kCompressionThreshold) {
    if (auto compressed = TLCompression::compressData(data_)) {
      data_ = std::move(*compressed);
      headers_.set("Content-Encoding", "gzip");
    }
  }
  if (!headers_.contains("Content-Type")) headers_.set("Content-Type", "application/json");
}

TLHttpCall::~TLHttpCall() {
  std::lock_guard lock(mutex_);
  resetTimerLocked();
}

bool TLHttpCall::hasReachedMaxRetries() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(retryCount_) >= retryIntervals_.size();
}

std::int32_t TLHttpCall::retryCount() const {
  std::lock_guard lock(mutex_);
  return retryCount_;
}

void TLHttpCall::resetRetry() {
  std::lock_guard lock(mutex_);
  resetTimerLocked();
  retryCount_ = 0;
}

void TLHttpCall::resetTimer() {
  std::lock_guard lock(mutex_);
  resetTimerLocked();
}

void TLHttpCall::resetTimerLocked() {
  if (timerSource_) timerSource_->cancel();
  timerSource_.reset();
  timerEvent_ = nullptr;
}

std::uint32_t TLHttpCall::delayForRetryCount(std::uint32_t retryCount) const {
  if (retryCount >= retryIntervals_.size()) return 0;
  const auto half = static_cast<std::uint32_t>(retryIntervals_[retryCount] * 1e9 * 0.5 / 1e6);
  return TLHttpUtil::jitteredDelay(half);
}

void TLHttpCall::startRetryTimerWithStatusCode(std::uint64_t statusCode, std::optional<std::uint32_t> retryAfter,
                                               std::function<void()> event) {
  std::lock_guard lock(mutex_);
  resetTimerLocked();
  auto source = dispatch::TimerSource::create(dispatch::globalQueue());
  const std::uint32_t delay = retryAfter ? *retryAfter : delayForRetryCount(static_cast<std::uint32_t>(retryCount_));
  TLLogWarning(kTLLogTag, "Call attempt #%d failed with status code: %tu, it will be retried in %d ms.", retryCount_,
               statusCode, delay);
  ++retryCount_;
  const std::uint64_t generation = ++timerGeneration_;
  // The handler only hands over to another block, so cancelling the timer (which waits for a
  // running handler) never waits on the client's lock.
  source->setEventHandler([weak = weak_from_this(), generation] {
    dispatch::globalQueue()->async([weak, generation] {
      if (auto self = weak.lock()) self->retryTimerFired(generation);
    });
  });
  source->setTimer(std::chrono::milliseconds(delay), dispatch::kForever, std::chrono::seconds(1));
  source->resume();
  timerSource_ = std::move(source);
  timerEvent_ = std::move(event);
}

void TLHttpCall::retryTimerFired(std::uint64_t generation) {
  std::function<void()> event;
  {
    std::lock_guard lock(mutex_);
    // Reset or re-armed since it fired.
    if (!timerSource_ || generation != timerGeneration_) return;
    event = std::move(timerEvent_);
    resetTimerLocked();
  }
  if (event) event();
}
