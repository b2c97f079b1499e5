#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"

#include <mutex>

#include "platform/foundation/String.h"
#include "telemetry/core/TLArchivableClasses.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

std::mutex sharedMutex;
std::shared_ptr<TLUserIdContext> sharedContext;

}  // namespace

std::shared_ptr<TLUserIdContext> TLUserIdContext::sharedInstance() {
  std::lock_guard lock(sharedMutex);
  if (!sharedContext) sharedContext = std::make_shared<TLUserIdContext>();
  return sharedContext;
}

void TLUserIdContext::resetSharedInstance() {
  std::lock_guard lock(sharedMutex);
  sharedContext.reset();
}

TLUserIdContext::TLUserIdContext(TLUserDefaults& settings, TLHistoryInfo::Clock clock)
    : settings_(settings), clock_(std::move(clock)) {
  TLRegisterArchivableClasses();
  userIdHistory_ =
      TLHistoryInfo::loadHistory<TLUserIdHistoryInfo>(settings_, kUserIdHistoryKey).value_or(decltype(userIdHistory_){});
  TLLogDebug(kTLLogTag, "%tu userId(s) in the history.", userIdHistory_.size());
  currentUserIdInfo_ = std::make_shared<TLUserIdHistoryInfo>(clock_(), std::nullopt);
  userIdHistory_.push_back(currentUserIdInfo_);
  storeHistory();
}

std::optional<std::string> TLUserIdContext::userId() {
  std::lock_guard lock(monitor_);
  return currentUserIdInfo_->userId();
}

void TLUserIdContext::setUserId(std::optional<std::string> userId) {
  {
    std::lock_guard lock(monitor_);
    if (userId == currentUserIdInfo_->userId()) return;
    currentUserIdInfo_->setTimestamp(clock_());
    currentUserIdInfo_->setUserId(userId);
    if (!userIdHistory_.empty()) userIdHistory_.pop_back();
    userIdHistory_.push_back(currentUserIdInfo_);
    storeHistory();
    TLLogVerbose(kTLLogTag, "Stored new userId:%@ and timestamp: %@.", currentUserIdInfo_->userId(),
                 currentUserIdInfo_->timestamp().iso8601());
  }
  // Outside the lock, so that a delegate may call back into the context.
  for (const auto& delegate : delegates_.allObjects()) delegate->userIdContextDidUpdateUserId(*this, userId);
}

std::optional<std::string> TLUserIdContext::userIdAt(foundation::Date date) {
  std::lock_guard lock(monitor_);
  const auto entry = TLHistoryInfo::entryBefore(userIdHistory_, date);
  return entry ? entry->userId() : std::nullopt;
}

void TLUserIdContext::clearUserIdHistory() {
  std::lock_guard lock(monitor_);
  userIdHistory_.clear();
  userIdHistory_.push_back(currentUserIdInfo_);
  storeHistory();
  TLLogVerbose(kTLLogTag, "Cleared old userIds while keeping current userId.");
}

void TLUserIdContext::addDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate) {
  std::lock_guard lock(monitor_);
  delegates_.add(delegate);
}

void TLUserIdContext::removeDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate) {
  std::lock_guard lock(monitor_);
  delegates_.remove(delegate);
}

bool TLUserIdContext::isUserIdValidForTelemetry(const std::optional<std::string>& userId) {
  if (userId && foundation::length16(*userId) > kMaxUserIdLength) {
    TLLogError(kTLLogTag, "userId is limited to %d characters.", static_cast<int>(kMaxUserIdLength));
    return false;
  }
  return true;
}

bool TLUserIdContext::isUserIdValidForCollector(const std::optional<std::string>& userId) {
  if (!userId) return true;
  if (userId->empty()) {
    TLLogError(kTLLogTag, "userId must not be empty.");
    return false;
  }
  const std::size_t colon = userId->find(kUserIdPrefixSeparator);
  if (colon == std::string::npos) return true;
  const std::string prefix = userId->substr(0, colon);
  if (prefix != kUserIdPrefix) {
    TLLogError(kTLLogTag, "userId prefix must be '%@', '%@' is not supported.", kUserIdPrefix, prefix);
    return false;
  }
  if (colon + 1 == userId->size()) {
    TLLogError(kTLLogTag, "userId must not be empty.");
    return false;
  }
  return true;
}

std::optional<std::string> TLUserIdContext::prefixedUserIdFromUserId(const std::optional<std::string>& userId) {
  if (!userId || userId->find(kUserIdPrefixSeparator) != std::string::npos) return userId;
  return foundation::stringWithFormat("%@%@%@", kUserIdPrefix, kUserIdPrefixSeparator, *userId);
}

void TLUserIdContext::storeHistory() { TLHistoryInfo::storeHistory(settings_, kUserIdHistoryKey, userIdHistory_); }
