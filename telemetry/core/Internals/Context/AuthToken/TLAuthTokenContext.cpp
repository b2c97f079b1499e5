#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"

#include <algorithm>
#include <mutex>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/String.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

using foundation::Date;

namespace {

// Account ids reach the delegates cut to this many characters.
constexpr std::size_t kMaxAccountIdLength = 36;

std::mutex& sharedLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<TLAuthTokenContext>& sharedContext() {
  static std::shared_ptr<TLAuthTokenContext> context;
  return context;
}

std::optional<std::string> shortened(const std::optional<std::string>& accountId) {
  if (!accountId || foundation::length16(*accountId) <= kMaxAccountIdLength) return accountId;
  return foundation::substring16(*accountId, {0, kMaxAccountIdLength});
}

// The history in `data` (an archive of a list of entries), or nothing when it is anything else.
std::optional<TLAuthTokenContext::History> unarchiveHistory(const foundation::Data& data) {
  const auto root = foundation::KeyedUnarchiver::unarchivedObjectOfClasses(
      {foundation::ArchiveClass::Array, "TLAuthTokenInfo"}, data);
  if (!root || !root->isArray()) return std::nullopt;
  TLAuthTokenContext::History history;
  for (const foundation::Value& element : root->arrayValue()) {
    auto entry = element.objectAs<TLAuthTokenInfo>();
    if (!entry) return std::nullopt;
    history.push_back(std::move(entry));
  }
  return history;
}

std::optional<foundation::Data> archiveHistory(const TLAuthTokenContext::History& history) {
  foundation::Array list;
  for (const auto& entry : history) {
    list.emplace_back(std::static_pointer_cast<foundation::Object>(std::const_pointer_cast<TLAuthTokenInfo>(entry)));
  }
  return foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(std::move(list)));
}

}  // namespace

std::shared_ptr<TLAuthTokenContext> TLAuthTokenContext::sharedInstance() {
  std::lock_guard guard(sharedLock());
  auto& context = sharedContext();
  if (!context) context = std::make_shared<TLAuthTokenContext>();
  return context;
}

void TLAuthTokenContext::resetSharedInstance() {
  std::lock_guard guard(sharedLock());
  sharedContext().reset();
}

TLAuthTokenContext::TLAuthTokenContext(Clock clock) : clock_(std::move(clock)) {
  TLAuthTokenInfo::registerForCoding();
}

Date TLAuthTokenContext::now() const { return clock_ ? clock_() : Date::now(); }

void TLAuthTokenContext::setAuthToken(const std::optional<std::string>& authToken,
                                      const std::optional<std::string>& givenAccountId,
                                      const std::optional<Date>& givenExpiresOn) {
  const auto accountId = authToken ? givenAccountId : std::nullopt;
  const auto expiresOn = authToken ? givenExpiresOn : std::nullopt;
  Delegates snapshot;
  bool newUser = false;
  {
    std::lock_guard guard(monitor_);
    History history = authTokenHistory();
    const auto last = history.empty() ? nullptr : history.back();
    if (last && last->authToken() == authToken) return;
    newUser = !last || last->accountId() != accountId;

    const Date current = now();
    Date start = current;
    if (last && last->expiresOn() && current > *last->expiresOn()) {
      if (authToken && newUser) {
        // The time between the old token's expiry and now belongs to nobody.
        history.push_back(std::make_shared<TLAuthTokenInfo>(std::nullopt, std::nullopt, last->expiresOn(), current));
      } else {
        start = *last->expiresOn();
      }
    }
    if (authToken || !history.empty()) {
      history.push_back(std::make_shared<TLAuthTokenInfo>(authToken, accountId, start, expiresOn));
    }
    if (history.size() > kMaxHistoryCount) {
      history.erase(history.begin(), history.end() - kMaxHistoryCount);
      TLLogDebug(kTLLogTag, "Size of the token history is exceeded. The oldest token has been removed.");
    }
    snapshot = delegates_;
    setAuthTokenHistory(std::move(history));
  }
  tellTokenChange(snapshot, authToken, newUser, accountId);
}

void TLAuthTokenContext::tellTokenChange(const Delegates& delegates, const std::optional<std::string>& authToken,
                                         bool newUser, const std::optional<std::string>& accountId) {
  const auto shortAccountId = shortened(accountId);
  for (const auto& delegate : delegates) {
    delegate->authTokenContextDidUpdateAuthToken(*this, authToken);
    if (newUser) delegate->authTokenContextDidUpdateAccountId(*this, shortAccountId);
  }
}

std::optional<std::string> TLAuthTokenContext::authToken() {
  std::lock_guard guard(monitor_);
  const History history = authTokenHistory();
  return history.empty() ? std::nullopt : history.back()->authToken();
}

std::optional<std::string> TLAuthTokenContext::accountId() {
  std::lock_guard guard(monitor_);
  const History history = authTokenHistory();
  return history.empty() ? std::nullopt : history.back()->accountId();
}

std::vector<TLAuthTokenValidityInfo> TLAuthTokenContext::authTokenValidityArray() {
  std::lock_guard guard(monitor_);
  const History history = authTokenHistory();
  if (history.empty()) return {TLAuthTokenValidityInfo(std::nullopt, std::nullopt, std::nullopt)};
  std::vector<TLAuthTokenValidityInfo> periods;
  for (std::size_t i = 0; i < history.size(); ++i) {
    const auto& entry = history[i];
    const bool nextStarts = i + 1 < history.size() && history[i + 1]->startTime();
    periods.emplace_back(entry->authToken(), entry->startTime(),
                         nextStarts ? history[i + 1]->startTime() : entry->expiresOn());
  }
  return periods;
}

void TLAuthTokenContext::removeAuthToken(const std::optional<std::string>& authToken) {
  std::lock_guard guard(monitor_);
  History history = authTokenHistory();
  if (history.size() < 2) {
    TLLogDebug(kTLLogTag, "Couldn't remove token from history; token history is empty or contains only current one.");
    return;
  }
  if (!authToken || history.front()->authToken() != authToken) {
    TLLogDebug(kTLLogTag, "Couldn't remove token from history; the token isn't oldest or is already removed.");
    return;
  }
  history.erase(history.begin());
  setAuthTokenHistory(std::move(history));
  TLLogDebug(kTLLogTag, "The token has been removed from the history.");
}

void TLAuthTokenContext::checkIfTokenNeedsToBeRefreshed(const TLAuthTokenValidityInfo& period) {
  Delegates snapshot;
  std::optional<std::string> accountId;
  {
    std::lock_guard guard(monitor_);
    const History history = authTokenHistory();
    if (history.empty() || !period.authToken() || history.back()->authToken() != period.authToken() ||
        !period.expiresSoon(now())) {
      return;
    }
    snapshot = delegates_;
    accountId = history.back()->accountId();
  }
  for (const auto& delegate : snapshot) {
    TLLogInfo(kTLLogTag, "The token needs to be refreshed.");
    delegate->authTokenContextRefreshAuthTokenForAccountId(*this, accountId);
  }
}

void TLAuthTokenContext::finishInitialize() {
  {
    std::lock_guard guard(monitor_);
    if (!resetAuthTokenRequired_) return;
    resetAuthTokenRequired_ = false;
  }
  setAuthToken(std::nullopt, std::nullopt, std::nullopt);
}

void TLAuthTokenContext::preventResetAuthTokenAfterStart() {
  std::lock_guard guard(monitor_);
  resetAuthTokenRequired_ = false;
}

void TLAuthTokenContext::addDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate) {
  std::lock_guard guard(monitor_);
  if (delegate && std::find(delegates_.begin(), delegates_.end(), delegate) == delegates_.end()) {
    delegates_.push_back(delegate);
  }
}

void TLAuthTokenContext::removeDelegate(const std::shared_ptr<TLAuthTokenContextDelegate>& delegate) {
  std::lock_guard guard(monitor_);
  std::erase(delegates_, delegate);
}

TLAuthTokenContext::History TLAuthTokenContext::authTokenHistory() {
  std::lock_guard guard(monitor_);
  if (history_) return *history_;
  std::optional<History> loaded;
  const foundation::Value stored = TLUserDefaults::shared().objectForKey(kTLAuthTokenHistoryKey);
  if (stored.isData()) {
    if (const auto archive = encrypter_.decryptData(stored.dataValue())) loaded = unarchiveHistory(*archive);
  }
  if (loaded) {
    TLLogDebug(kTLLogTag, "Retrieved history state.");
  } else {
    TLLogWarning(kTLLogTag, "Failed to retrieve history state or none was found.");
  }
  history_ = loaded.value_or(History{});
  return *history_;
}

void TLAuthTokenContext::setAuthTokenHistory(History history) {
  std::lock_guard guard(monitor_);
  if (history.empty()) {
    TLLogWarning(kTLLogTag, "Failed to save new history state.");
    return;
  }
  const auto archive = archiveHistory(history);
  const auto encrypted = archive ? encrypter_.encryptData(*archive) : std::nullopt;
  // The change holds for this process even when it cannot be stored: the delegates may already
  // know of the new token, and the logs written from now on must be sent with it.
  history_ = std::move(history);
  if (!encrypted) {
    TLLogWarning(kTLLogTag, "Failed to save new history state.");
    return;
  }
  TLUserDefaults::shared().setObject(*encrypted, kTLAuthTokenHistoryKey);
  TLLogDebug(kTLLogTag, "Saved new history state.");
}
