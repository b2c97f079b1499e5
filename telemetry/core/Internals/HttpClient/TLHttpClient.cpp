#include "telemetry/core/Internals/HttpClient/TLHttpClient.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/foundation/String.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "telemetry/core/Internals/HttpClient/TLHttpCall.h"
#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"
#include "telemetry/core/Internals/Util/TL_Reachability.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

std::vector<double> defaultRetryIntervals() { return {10, 300, 1200}; }

// The server's delay in milliseconds; nothing when the value is no number, or none a timer can
// wait (negative, not finite, beyond 32 bits), so the retry table decides instead.
std::optional<std::uint32_t> retryAfterMilliseconds(const std::optional<std::string>& header) {
  if (!header) return std::nullopt;
  const std::string text = foundation::trim(*header);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  if (!std::isfinite(value) || value < 0 || value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::shared_ptr<TLHttpClient> TLHttpClient::create() { return create(true); }

std::shared_ptr<TLHttpClient> TLHttpClient::create(bool compressionEnabled) {
  return create(std::nullopt, defaultRetryIntervals(), TL_Reachability::reachabilityForInternetConnection(),
                compressionEnabled);
}

std::shared_ptr<TLHttpClient> TLHttpClient::create(std::int64_t maxHttpConnectionsPerHost, bool compressionEnabled) {
  return create(maxHttpConnectionsPerHost, defaultRetryIntervals(),
                TL_Reachability::reachabilityForInternetConnection(), compressionEnabled);
}

std::shared_ptr<TLHttpClient> TLHttpClient::create(std::optional<std::int64_t> maxHttpConnectionsPerHost,
                                                   std::vector<double> retryIntervals,
                                                   std::shared_ptr<TL_Reachability> reachability,
                                                   bool compressionEnabled) {
  std::shared_ptr<TLHttpClient> client(
      new TLHttpClient(maxHttpConnectionsPerHost, std::move(retryIntervals), std::move(reachability), compressionEnabled));
  client->startWatchingNetwork();
  return client;
}

TLHttpClient::TLHttpClient(std::optional<std::int64_t> maxHttpConnectionsPerHost, std::vector<double> retryIntervals,
                           std::shared_ptr<TL_Reachability> reachability, bool compressionEnabled)
    : compressionEnabled_(compressionEnabled),
      reachability_(std::move(reachability)),
      retryIntervals_(std::move(retryIntervals)),
      sessionConfiguration_(net::URLSessionConfiguration::defaultSessionConfiguration()) {
  if (maxHttpConnectionsPerHost) sessionConfiguration_.httpMaximumConnectionsPerHost = static_cast<long>(*maxHttpConnectionsPerHost);
  session_ = net::URLSession::create(sessionConfiguration_);
}

TLHttpClient::~TLHttpClient() {
  if (reachability_) reachability_->stopNotifier();
  if (networkObserver_) foundation::NotificationCenter::defaultCenter().removeObserver(networkObserver_);
  if (session_) session_->finishTasksAndInvalidate();
  for (const auto& call : pendingCalls_) call->resetRetry();
}

void TLHttpClient::startWatchingNetwork() {
  networkObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
      kTLReachabilityChangedNotification, nullptr, nullptr, [weak = weak_from_this()](const foundation::Notification&) {
        if (auto self = weak.lock()) self->networkStateChanged();
      });
  if (reachability_) reachability_->startNotifier();
}

void TLHttpClient::sendAsync(const net::URL& url, const std::string& method,
                             const std::optional<net::HTTPHeaderFields>& headers,
                             const std::optional<foundation::Data>& data, TLHttpRequestCompletionHandler handler) {
  std::lock_guard guard(lock_);
  if (!enabled_) {
    if (handler) {
      handler(std::nullopt, nullptr,
              foundation::Error::withDescription(kTLErrorDomain, TLDisabledErrorCode, "The service is disabled."));
    }
    return;
  }
  auto call = std::make_shared<TLHttpCall>(url, method, headers, data, retryIntervals_, compressionEnabled_,
                                           std::move(handler));
  // Only here does a call join the pending set: a call that was dropped or has finished must
  // never come back through a late timer.
  pendingCalls_.insert(call);
  sendCallAsync(call);
}

void TLHttpClient::sendCallAsync(const std::shared_ptr<TLHttpCall>& call) {
  std::lock_guard guard(lock_);
  if (!call || !pendingCalls_.contains(call) || call->isInProgress()) return;
  if (paused_ || !enabled_) return;
  net::URLRequest request(call->url(), net::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, 0);
  if (call->hasBody()) request.setHTTPBody(call->data());
  request.setHTTPMethod(call->method());
  request.setAllHTTPHeaderFields(call->headers());
  request.setHTTPShouldHandleCookies(false);
  if (TLLogger::currentLogLevel() <= TLLogLevelVerbose) {
    TLLogVerbose(kTLLogTag, "URL: %@", call->url().absoluteString());
    TLLogVerbose(kTLLogTag, "Headers: %@", prettyPrintHeaders(call->headers()));
  }
  // A retry waiting on its timer would send the call a second time.
  call->resetTimer();
  call->setInProgress(true);
  auto task = session_->dataTask(request, [weak = weak_from_this(), call](std::optional<foundation::Data> data,
                                                                          std::shared_ptr<const net::URLResponse> response,
                                                                          std::optional<foundation::Error> error) {
    if (auto self = weak.lock()) self->requestCompleted(call, std::move(data), std::move(response), std::move(error));
  });
  task->resume();
}

bool TLHttpClient::finish(const std::shared_ptr<TLHttpCall>& call) {
  if (pendingCalls_.erase(call) == 0 || call->isFinished()) return false;
  call->setFinished();
  return true;
}

void TLHttpClient::requestCompleted(const std::shared_ptr<TLHttpCall>& call, std::optional<foundation::Data> data,
                                    std::shared_ptr<const net::URLResponse> response,
                                    std::optional<foundation::Error> error) {
  auto httpResponse = std::dynamic_pointer_cast<const net::HTTPURLResponse>(response);
  {
    std::lock_guard guard(lock_);
    call->setInProgress(false);
    if (!pendingCalls_.contains(call)) {
      TLLogDebug(kTLLogTag, "HTTP call was canceled; do not process further.");
      return;
    }
    if (error) {
      const bool noInternet = TLHttpUtil::isNoInternetConnectionError(*error);
      // A connection the server dropped while the network is up brings no network change, so
      // waiting for a resume would hold the call for ever: it ends like any transport error.
      const bool droppedByServer = error->code() == net::URLErrorNetworkConnectionLost && reachability_ &&
                                   reachability_->currentReachabilityStatus() != TLNetworkStatusNotReachable;
      if ((noInternet || TLHttpUtil::isSSLConnectionError(*error)) && !droppedByServer) {
        call->resetRetry();
        TLLogInfo(kTLLogTag, "HTTP call failed with error: %@",
                  noInternet ? "Internet connection is down." : "Could not establish secure connection.");
        return;
      }
      TLLogError(kTLLogTag, "HTTP request error with code: %td, domain: %@, description: %@", error->code(),
                 error->domain(), error->localizedDescription());
      httpResponse = nullptr;
    } else {
      const std::int64_t statusCode = httpResponse ? httpResponse->statusCode() : 0;
      if (TLHttpUtil::isRecoverableError(statusCode) && !call->hasReachedMaxRetries()) {
        const auto retryAfter =
            retryAfterMilliseconds(httpResponse ? httpResponse->valueForHTTPHeaderField("x-retry-after-ms") : std::nullopt);
        call->startRetryTimerWithStatusCode(static_cast<std::uint64_t>(statusCode), retryAfter,
                                            [weak = weak_from_this(), weakCall = std::weak_ptr<TLHttpCall>(call)] {
                                              auto self = weak.lock();
                                              auto retried = weakCall.lock();
                                              if (self && retried) self->sendCallAsync(retried);
                                            });
        return;
      }
      if (TLLogger::currentLogLevel() <= TLLogLevelVerbose) {
        TLLogVerbose(kTLLogTag, "HTTP response received with status code: %tu, payload:\n%@", statusCode,
                     TLHttpUtil::printablePayload(httpResponse, data));
      }
    }
    if (!finish(call)) return;
  }
  if (call->completionHandler()) call->completionHandler()(std::move(data), std::move(httpResponse), std::move(error));
}

void TLHttpClient::pause() {
  std::lock_guard guard(lock_);
  if (paused_) return;
  TLLogInfo(kTLLogTag, "Pause HTTP client.");
  paused_ = true;
  for (const auto& call : pendingCalls_) call->resetRetry();
}

void TLHttpClient::resume() {
  std::lock_guard guard(lock_);
  if (!paused_ || !enabled_) return;
  TLLogInfo(kTLLogTag, "Resume HTTP client.");
  paused_ = false;
  const auto calls = pendingCalls_;
  for (const auto& call : calls) {
    if (!call->isInProgress()) sendCallAsync(call);
  }
}

void TLHttpClient::setEnabled(bool isEnabled) {
  std::lock_guard guard(lock_);
  if (enabled_ == isEnabled) return;
  enabled_ = isEnabled;
  if (isEnabled) {
    session_ = net::URLSession::create(sessionConfiguration_);
    if (reachability_) reachability_->startNotifier();
    resume();
    return;
  }
  if (reachability_) reachability_->stopNotifier();
  pause();
  if (session_) session_->invalidateAndCancel();
  session_.reset();
  const auto calls = std::move(pendingCalls_);
  pendingCalls_.clear();
  for (const auto& call : calls) {
    call->resetRetry();
    if (call->isFinished()) continue;
    call->setFinished();
    if (call->completionHandler()) {
      call->completionHandler()(
          std::nullopt, nullptr,
          foundation::Error::withDescription(kTLErrorDomain, TLCanceledErrorCode, "The operation was canceled."));
    }
  }
}

void TLHttpClient::networkStateChanged() {
  if (reachability_ && reachability_->currentReachabilityStatus() == TLNetworkStatusNotReachable) {
    TLLogInfo(kTLLogTag, "Internet connection is down.");
    pause();
  } else {
    TLLogInfo(kTLLogTag, "Internet connection is up.");
    resume();
  }
}

bool TLHttpClient::isPaused() const {
  std::lock_guard guard(lock_);
  return paused_;
}

bool TLHttpClient::isEnabled() const {
  std::lock_guard guard(lock_);
  return enabled_;
}

std::size_t TLHttpClient::pendingCallCount() const {
  std::lock_guard guard(lock_);
  return pendingCalls_.size();
}

std::string TLHttpClient::prettyPrintHeaders(const net::HTTPHeaderFields& headers) const {
  return TLHttpUtil::prettyPrintHeaders(
      headers, [this](const std::string& value, const std::string& key) { return obfuscateHeaderValue(value, key); });
}

std::string TLHttpClient::obfuscateHeaderValue(const std::string& value, const std::string& key) const {
  if (key == "Authorization") return TLHttpUtil::hideAuthToken(value);
  if (key == "App-Secret") return TLHttpUtil::hideSecret(value);
  return value;
}
