#pragma once
// TLAuthTokenContextDelegate is what the auth token context tells about token changes: the
// channel units listen to flush what waited for a token, and a service that signs users in may
// listen to refresh tokens. Every operation is optional; the defaults do nothing. Called on the
// thread that changed the token, outside the context's lock, so a delegate may call back into the
// context.
#include <optional>
#include <string>

class TLAuthTokenContext;

class TLAuthTokenContextDelegate {
 public:
  virtual ~TLAuthTokenContextDelegate() = default;

  // The current token changed to `authToken` (absent: no token).
  virtual void authTokenContextDidUpdateAuthToken(TLAuthTokenContext& /*context*/,
                                                  const std::optional<std::string>& /*authToken*/) {}
  // The signed-in account changed to `accountId` (at most 36 characters; absent: none).
  virtual void authTokenContextDidUpdateAccountId(TLAuthTokenContext& /*context*/,
                                                  const std::optional<std::string>& /*accountId*/) {}
  // The current token of `accountId` expires within ten minutes: a new one is wanted.
  virtual void authTokenContextRefreshAuthTokenForAccountId(TLAuthTokenContext& /*context*/,
                                                            const std::optional<std::string>& /*accountId*/) {}
};
