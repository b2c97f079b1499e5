#pragma once
// TLAuthTokenContext knows which bearer token applied when: it keeps the current token and a
// history of at most five tokens with the periods in which each applied, persisted encrypted in
// the settings store under "TLTelemetryAuthTokenHistory", hands the periods to the channel units
// so that each stored log is sent with the token of its time, drops the oldest token once nothing
// needs it, and asks its delegates for a new token shortly before the current one expires.
//
// Every operation is thread-safe: one re-entrant lock guards the history and the delegates, and
// delegates are called after it is released, on a snapshot, on the caller's thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Monitor.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContextDelegate.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenInfo.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenValidityInfo.h"
#include "telemetry/core/Internals/Util/TLEncrypter.h"

// The settings key of the encrypted history.
inline constexpr const char* kTLAuthTokenHistoryKey = "TLTelemetryAuthTokenHistory";

class TLAuthTokenContext {
 public:
  using Clock = std::function<foundation::Date()>;
  using History = std::vector<std::shared_ptr<const TLAuthTokenInfo>>;

  // The most tokens the history keeps; a sixth pushes out the oldest.
  static constexpr std::size_t kMaxHistoryCount = 5;

  // The shared context, made on first call; never null. Thread-safe.
  static std::shared_ptr<TLAuthTokenContext> sharedInstance();
  // Drops the shared context; the next sharedInstance makes a new one, which reloads the history.
  static void resetSharedInstance();

  // A context over the shared settings store, with `clock` for "now" (empty: the real clock). The
  // history is loaded on first use.
  explicit TLAuthTokenContext(Clock clock = {});
  TLAuthTokenContext(const TLAuthTokenContext&) = delete;
  TLAuthTokenContext& operator=(const TLAuthTokenContext&) = delete;

  // Makes `authToken` (absent: signed out; the account and expiry then count as absent too) the
  // current token, starting now, and tells the delegates; when the user changed, also of the
  // account. Setting the current token again changes nothing and tells nobody. When the previous
  // token expired before now, the gap between is given to nobody (another user) or to the new
  // token (the same user).
  void setAuthToken(const std::optional<std::string>& authToken, const std::optional<std::string>& accountId,
                    const std::optional<foundation::Date>& expiresOn);
  // The token and account of the newest history entry, or nothing.
  std::optional<std::string> authToken();
  std::optional<std::string> accountId();

  // One period per history entry, oldest first, each ending where the next starts (the newest
  // at its own expiry); a single open period without a token when the history is empty.
  std::vector<TLAuthTokenValidityInfo> authTokenValidityArray();
  // Drops the oldest history entry if it holds `authToken` and is not the only one; otherwise
  // changes nothing (logged at DEBUG either way).
  void removeAuthToken(const std::optional<std::string>& authToken);
  // Asks every delegate to refresh the current token when `period` is the current token's and it
  // expires soon.
  void checkIfTokenNeedsToBeRefreshed(const TLAuthTokenValidityInfo& period);

  // Once, at start-up: closes the period of a token left from the previous run by setting no
  // token, unless preventResetAuthTokenAfterStart came first.
  void finishInitialize();
  void preventResetAuthTokenAfterStart();

  // Adds (held strongly, once) or removes a delegate.
  void addDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate);

  // The history, oldest first, loaded from the settings store on first use; a stored history that
  // is missing or cannot be decrypted or read counts as empty (with a WARNING).
  History authTokenHistory();
  // Makes `history` the current one and stores it encrypted. An empty history changes nothing;
  // one that cannot be encrypted is not stored but still holds for this process, since the
  // delegates may already know of it (WARNING "Failed to save new history state." for both).
  void setAuthTokenHistory(History history);

 private:
  using Delegates = std::vector<std::shared_ptr<TLAuthTokenContextDelegate>>;

  foundation::Date now() const;
  void tellTokenChange(const Delegates& delegates, const std::optional<std::string>& authToken, bool newUser,
                       const std::optional<std::string>& accountId);

  foundation::Monitor monitor_;
  Clock clock_;
  TLEncrypter encrypter_;
  std::optional<History> history_;  // absent until loaded
  Delegates delegates_;
  bool resetAuthTokenRequired_ = true;
};
