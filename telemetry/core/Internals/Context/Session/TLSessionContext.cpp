#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"

#include <mutex>

#include "telemetry/core/TLArchivableClasses.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

std::mutex sharedMutex;
std::shared_ptr<TLSessionContext> sharedContext;

}  // namespace

std::shared_ptr<TLSessionContext> TLSessionContext::sharedInstance() {
  std::lock_guard lock(sharedMutex);
  if (!sharedContext) sharedContext = std::make_shared<TLSessionContext>();
  return sharedContext;
}

void TLSessionContext::resetSharedInstance() {
  std::lock_guard lock(sharedMutex);
  sharedContext.reset();
}

TLSessionContext::TLSessionContext(TLUserDefaults& settings, TLHistoryInfo::Clock clock)
    : settings_(settings), clock_(std::move(clock)) {
  TLRegisterArchivableClasses();
  sessionHistory_ =
      TLHistoryInfo::loadHistory<TLSessionHistoryInfo>(settings_, kSessionIdHistoryKey).value_or(decltype(sessionHistory_){});
  TLLogDebug(kTLLogTag, "%tu session(s) in the history.", sessionHistory_.size());
  currentSessionInfo_ = std::make_shared<TLSessionHistoryInfo>(clock_(), std::nullopt);
  sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> TLSessionContext::sessionId() {
  std::lock_guard lock(monitor_);
  return currentSessionInfo_->sessionId();
}

void TLSessionContext::setSessionId(std::optional<std::string> sessionId) {
  std::lock_guard lock(monitor_);
  // The last entry is this launch's whenever the list is not empty.
  if (!sessionHistory_.empty()) sessionHistory_.pop_back();
  currentSessionInfo_->setSessionId(std::move(sessionId));
  currentSessionInfo_->setTimestamp(clock_());
  sessionHistory_.push_back(currentSessionInfo_);
  storeHistory();
  TLLogVerbose(kTLLogTag, "Stored new session with id:%@ and timestamp: %@.", currentSessionInfo_->sessionId(),
               currentSessionInfo_->timestamp().iso8601());
}

std::optional<std::string> TLSessionContext::sessionIdAt(foundation::Date date) {
  std::lock_guard lock(monitor_);
  const auto entry = TLHistoryInfo::entryBefore(sessionHistory_, date);
  return entry ? entry->sessionId() : std::nullopt;
}

void TLSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
  std::lock_guard lock(monitor_);
  sessionHistory_.clear();
  if (keepCurrentSession) sessionHistory_.push_back(currentSessionInfo_);
  storeHistory();
  TLLogVerbose(kTLLogTag, "Cleared old sessions.");
}

void TLSessionContext::storeHistory() {
  TLHistoryInfo::storeHistory(settings_, kSessionIdHistoryKey, sessionHistory_);
}
