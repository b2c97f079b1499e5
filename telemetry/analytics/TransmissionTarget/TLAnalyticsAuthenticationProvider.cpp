#include "telemetry/analytics/TransmissionTarget/TLAnalyticsAuthenticationProvider.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/Internals/Ingestion/TLTicketCache.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLLogger.h"

namespace {

// Whole seconds since 1970, truncated toward zero.
std::int64_t wholeSecondsSince1970(const foundation::Date& date) {
  return static_cast<std::int64_t>(std::trunc(date.timeIntervalSince1970()));
}

}  // namespace

std::shared_ptr<TLAnalyticsAuthenticationProvider> TLAnalyticsAuthenticationProvider::create(
    TLAnalyticsAuthenticationType type, const std::optional<std::string>& ticketKey,
    const std::shared_ptr<TLAnalyticsAuthenticationProviderDelegate>& delegate, Clock clock) {
  if (!ticketKey || ticketKey->empty()) {
    TLLogError(kTLAnalyticsLogTag, "An authentication provider needs a ticket key.");
    return nullptr;
  }
  if (!ticketFor(type, "")) {
    TLLogError(kTLAnalyticsLogTag, "Unknown authentication type %u; the provider is not created.", type);
    return nullptr;
  }
  return std::make_shared<TLAnalyticsAuthenticationProvider>(Passkey{}, type, *ticketKey, delegate,
                                                             clock ? std::move(clock) : &foundation::Date::now);
}

TLAnalyticsAuthenticationProvider::TLAnalyticsAuthenticationProvider(
    Passkey, TLAnalyticsAuthenticationType type, std::string ticketKey,
    const std::shared_ptr<TLAnalyticsAuthenticationProviderDelegate>& delegate, Clock clock)
    : type_(type),
      ticketKey_(std::move(ticketKey)),
      ticketKeyHash_(TLUtility::sha256(ticketKey_)),
      delegate_(delegate),
      clock_(std::move(clock)) {}

std::optional<std::string> TLAnalyticsAuthenticationProvider::ticketFor(TLAnalyticsAuthenticationType type,
                                                                        const std::string& token) {
  switch (type) {
    case TLAnalyticsAuthenticationTypeP:
      return "p:" + token;
    case TLAnalyticsAuthenticationTypeD:
      return "d:" + token;
  }
  return std::nullopt;
}

void TLAnalyticsAuthenticationProvider::acquireTokenAsync() {
  const auto delegate = delegate_.lock();
  if (!delegate) {
    TLLogError(kTLAnalyticsLogTag, "No completionhandler to acquire token has been set.");
    return;
  }
  auto request = std::make_shared<TLAcquireTokenCompletionBlock>();
  {
    std::lock_guard lock(monitor_);
    if (completionHandler_) return;
    completionHandler_ = request;
  }
  // The completion holds neither the provider nor itself: a delegate that keeps it keeps nothing
  // alive, and once the request is answered the handler no longer matches.
  std::weak_ptr<TLAnalyticsAuthenticationProvider> weakSelf = weak_from_this();
  std::weak_ptr<const TLAcquireTokenCompletionBlock> weakRequest = request;
  *request = [weakSelf, weakRequest](const std::optional<std::string>& token,
                                     const std::optional<foundation::Date>& expiryDate) {
    const auto self = weakSelf.lock();
    const auto handler = weakRequest.lock();
    if (self && handler) self->handleTokenUpdateWithToken(token, expiryDate, handler);
  };
  // The delegate is called outside the lock, so that one answering from another thread, while
  // this one waits for it, cannot deadlock.
  delegate->authenticationProviderAcquireToken(*this, *request);
}

void TLAnalyticsAuthenticationProvider::handleTokenUpdateWithToken(const std::optional<std::string>& token,
                                                                   const std::optional<foundation::Date>& expiryDate,
                                                                   const CompletionHandler& completionHandler) {
  std::lock_guard lock(monitor_);
  if (!completionHandler || completionHandler != completionHandler_) return;
  completionHandler_.reset();
  TLLogDebug(kTLAnalyticsLogTag, "Got result back from TLAcquireTokenCompletionBlock.");
  if (!token) {
    TLLogError(kTLAnalyticsLogTag, "Token must not be null");
    noteFailedRequest();
    return;
  }
  if (!expiryDate) {
    TLLogError(kTLAnalyticsLogTag, "Date must not be null");
    noteFailedRequest();
    return;
  }
  TLTicketCache::sharedInstance().setTicket(ticketFor(type_, *token), ticketKeyHash_);
  expiryDate_ = expiryDate;
  failedRequests_ = 0;
  retryNotBefore_.reset();
}

void TLAnalyticsAuthenticationProvider::noteFailedRequest() {
  ++failedRequests_;
  const double delay =
      std::min(kMaxRetryDelaySeconds, kFirstRetryDelaySeconds * std::pow(2.0, std::min(failedRequests_ - 1, 16)));
  retryNotBefore_ = clock_().addingTimeInterval(delay);
}

void TLAnalyticsAuthenticationProvider::checkTokenExpiry() {
  {
    std::lock_guard lock(monitor_);
    if (completionHandler_ || delegate_.expired()) return;
    const foundation::Date now = clock_();
    if (retryNotBefore_ && now < *retryNotBefore_) return;
    if (expiryDate_ && wholeSecondsSince1970(now) + kRefreshWindowSeconds < wholeSecondsSince1970(*expiryDate_)) {
      return;
    }
  }
  acquireTokenAsync();
}

std::optional<foundation::Date> TLAnalyticsAuthenticationProvider::expiryDate() {
  std::lock_guard lock(monitor_);
  return expiryDate_;
}

void TLAnalyticsAuthenticationProvider::setExpiryDate(const std::optional<foundation::Date>& expiryDate) {
  std::lock_guard lock(monitor_);
  expiryDate_ = expiryDate;
}

TLAnalyticsAuthenticationProvider::CompletionHandler TLAnalyticsAuthenticationProvider::completionHandler() {
  std::lock_guard lock(monitor_);
  return completionHandler_;
}
