#pragma once
// TLAnalyticsAuthenticationProvider obtains authentication tokens for the events of the
// transmission targets and keeps them fresh. It asks its delegate for a token, stores each token
// it gets as a ticket in the shared ticket cache under the SHA-256 of its ticket key, and asks
// again when a log is prepared within 600 seconds of the token's expiry. Only one request is out
// at a time. When a request fails (no token or no date comes back), the next prepared log may ask
// again once a back-off has passed: 10 seconds after the first failure, doubling up to 600.
//
// Thread-safe: the provider's own re-entrant lock guards its state, and the delegate is called
// outside it, so it may answer at once, later, or from another thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/Monitor.h"
#include "telemetry/analytics/TransmissionTarget/TLAnalyticsAuthenticationProviderDelegate.h"

// The kinds of ticket a provider makes, named after the prefix its tickets carry.
enum TLAnalyticsAuthenticationType : std::uint64_t {
  TLAnalyticsAuthenticationTypeP = 0,  // tickets "p:<token>"
  TLAnalyticsAuthenticationTypeD = 1,  // tickets "d:<token>"
};

class TLAnalyticsAuthenticationProvider : public std::enable_shared_from_this<TLAnalyticsAuthenticationProvider> {
 public:
  using Clock = std::function<foundation::Date()>;
  // The in-flight request: the completion handed to the delegate, known by identity.
  using CompletionHandler = std::shared_ptr<const TLAcquireTokenCompletionBlock>;

  // A token is refreshed once it expires within this many seconds.
  static constexpr std::int64_t kRefreshWindowSeconds = 600;
  // The wait after a first failed request, and the longest wait after several.
  static constexpr double kFirstRetryDelaySeconds = 10;
  static constexpr double kMaxRetryDelaySeconds = 600;

  // A provider of tickets of `type` stored under the hash of `ticketKey`, asking `delegate` (held
  // weakly) for tokens; `clock` answers "now". Null, with an ERROR line, when the key is missing
  // or empty or the type is unknown: such a provider could only ever send tickets the collector
  // cannot match. Idle: nothing is asked until acquireTokenAsync.
  static std::shared_ptr<TLAnalyticsAuthenticationProvider> create(
      TLAnalyticsAuthenticationType type, const std::optional<std::string>& ticketKey,
      const std::shared_ptr<TLAnalyticsAuthenticationProviderDelegate>& delegate,
      Clock clock = &foundation::Date::now);

  TLAnalyticsAuthenticationProvider(const TLAnalyticsAuthenticationProvider&) = delete;
  TLAnalyticsAuthenticationProvider& operator=(const TLAnalyticsAuthenticationProvider&) = delete;

  // Asks the delegate for a token unless a request is already out. Without a delegate (none
  // given, or gone), logs an ERROR and asks nothing.
  void acquireTokenAsync();
  // Takes the result of the request `completionHandler` stands for; does nothing unless it is the
  // request still out. Stores the ticket and the expiry date when both token and date came back;
  // else logs an ERROR, keeps the previous ticket and expiry date, and starts the back-off.
  void handleTokenUpdateWithToken(const std::optional<std::string>& token,
                                  const std::optional<foundation::Date>& expiryDate,
                                  const CompletionHandler& completionHandler);
  // Called for each prepared log: asks for a new token when the current one expires within 600
  // seconds (whole seconds, truncated), or when none has come yet and no request is out, in both
  // cases once any back-off has passed. Asks nothing once the delegate is gone.
  void checkTokenExpiry();

  TLAnalyticsAuthenticationType type() const { return type_; }
  const std::string& ticketKey() const { return ticketKey_; }
  // The SHA-256 of the ticket key, 64 lower-case hexadecimal digits.
  const std::string& ticketKeyHash() const { return ticketKeyHash_; }
  // The delegate, or null once it is gone.
  std::shared_ptr<TLAnalyticsAuthenticationProviderDelegate> delegate() const { return delegate_.lock(); }
  // The expiry of the last token received; nothing before the first.
  std::optional<foundation::Date> expiryDate();
  void setExpiryDate(const std::optional<foundation::Date>& expiryDate);
  // The request out, or null when idle.
  CompletionHandler completionHandler();

  // The ticket text for a token of `type`: "p:" or "d:" and the token; nothing for an unknown type.
  static std::optional<std::string> ticketFor(TLAnalyticsAuthenticationType type, const std::string& token);

 private:
  struct Passkey {};

 public:
  // Use create().
  TLAnalyticsAuthenticationProvider(Passkey, TLAnalyticsAuthenticationType type, std::string ticketKey,
                                    const std::shared_ptr<TLAnalyticsAuthenticationProviderDelegate>& delegate,
                                    Clock clock);

 private:
  // Starts, or lengthens, the wait before the next request. Call under the lock.
  void noteFailedRequest();

  const TLAnalyticsAuthenticationType type_;
  const std::string ticketKey_;
  const std::string ticketKeyHash_;
  const std::weak_ptr<TLAnalyticsAuthenticationProviderDelegate> delegate_;
  const Clock clock_;

  foundation::Monitor monitor_;
  std::optional<foundation::Date> expiryDate_;
  CompletionHandler completionHandler_;
  int failedRequests_ = 0;
  std::optional<foundation::Date> retryNotBefore_;
};
