#pragma once
// TLAnalyticsAuthenticationProviderDelegate is what the application implements to hand an
// authentication provider its tokens: asked for one, it obtains it, at once or later, and calls
// the completion handler with the token and its expiry date.
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"

class TLAnalyticsAuthenticationProvider;

// Takes the result of one token request: the token and its expiry date, either absent when the
// request failed. May be called from any thread; only its first call counts.
using TLAcquireTokenCompletionBlock =
    std::function<void(const std::optional<std::string>& token, const std::optional<foundation::Date>& expiryDate)>;

class TLAnalyticsAuthenticationProviderDelegate {
 public:
  virtual ~TLAnalyticsAuthenticationProviderDelegate() = default;
  // Obtains a token for `provider` and calls `completionHandler` with it, on any thread, at once
  // or later. Called outside every lock of the provider.
  virtual void authenticationProviderAcquireToken(TLAnalyticsAuthenticationProvider& provider,
                                                  TLAcquireTokenCompletionBlock completionHandler) = 0;
};
