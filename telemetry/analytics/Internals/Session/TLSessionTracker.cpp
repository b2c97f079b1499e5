#include "telemetry/analytics/Internals/Session/TLSessionTracker.h"

#include <cmath>
#include <limits>

#include "platform/appkit/ApplicationActivation.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/String.h"
#include "platform/foundation/UUID.h"
#include "telemetry/analytics/Model/TLStartSessionLog.h"
#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

bool isAppExtension() {
  return foundation::containsString(foundation::Bundle::mainBundle()->executablePath(), ".appex/");
}

}  // namespace

TLSessionTracker::TLSessionTracker()
    : TLSessionTracker(TLSessionContext::sharedInstance(), &foundation::Date::now, &TLUtility::applicationState,
                       foundation::NotificationCenter::defaultCenter()) {}

TLSessionTracker::TLSessionTracker(std::shared_ptr<TLSessionContext> context, Clock clock,
                                   ApplicationStateProvider applicationState, foundation::NotificationCenter& center)
    : context_(std::move(context)),
      clock_(std::move(clock)),
      applicationState_(std::move(applicationState)),
      center_(center),
      lastCreatedLogTime_(kNoTime) {
  TLUserDefaults::shared().removeObjectForKey(kTLPastSessionsKey);
}

TLSessionTracker::~TLSessionTracker() {
  for (auto token : observers_) center_.removeObserver(token);
}

void TLSessionTracker::start() {
  std::lock_guard lock(monitor_);
  if (started_) return;
  started_ = true;
  const TLApplicationState state = applicationState_();
  if (state == TLApplicationStateActive || state == TLApplicationStateInactive) renewSessionId();
  observers_.push_back(center_.addObserver(appkit::kApplicationDidResignActiveNotification, nullptr, nullptr,
                                           [this](const foundation::Notification&) { applicationDidEnterBackground(); }));
  observers_.push_back(center_.addObserver(appkit::kApplicationWillBecomeActiveNotification, nullptr, nullptr,
                                           [this](const foundation::Notification&) { applicationWillEnterForeground(); }));
}

void TLSessionTracker::stop() {
  std::vector<foundation::NotificationCenter::ObserverToken> observers;
  {
    std::lock_guard lock(monitor_);
    if (!started_) return;
    observers.swap(observers_);
    started_ = false;
    context_->setSessionId(std::nullopt);
  }
  // Outside the lock: removal waits for a handler running on another thread, and handlers take
  // the lock.
  for (auto token : observers) center_.removeObserver(token);
}

void TLSessionTracker::renewSessionId() {
  std::lock_guard lock(monitor_);
  if (!started_) return;
  if (context_->sessionId() && !hasSessionTimedOut()) return;
  const std::string sessionId = foundation::UUID().UUIDString();
  context_->setSessionId(sessionId);
  TLLogInfo(kTLAnalyticsLogTag, "New session ID: %@", sessionId);
  auto log = std::make_shared<TLStartSessionLog>();
  log->setSid(sessionId);
  if (auto delegate = delegate_.lock()) delegate->sessionTrackerProcessLog(*this, log);
}

bool TLSessionTracker::hasSessionTimedOut() {
  std::lock_guard lock(monitor_);
  const foundation::Date now = clock_();
  const auto lastLog = lastCreatedLogTime();
  const bool noLogForLong = !lastLog || now.timeIntervalSince(*lastLog) >= sessionTimeout_;
  if (isAppExtension()) return noLogForLong;
  const bool isBackgroundForLong = lastEnteredBackgroundTime_ && lastEnteredForegroundTime_ &&
                                   *lastEnteredBackgroundTime_ > *lastEnteredForegroundTime_ &&
                                   now.timeIntervalSince(*lastEnteredBackgroundTime_) >= sessionTimeout_;
  const bool wasBackgroundForLong =
      lastEnteredBackgroundTime_ &&
      (lastEnteredForegroundTime_ ? lastEnteredForegroundTime_->timeIntervalSince(*lastEnteredBackgroundTime_) : 0.0) >=
          sessionTimeout_;
  return noLogForLong && (isBackgroundForLong || wasBackgroundForLong);
}

void TLSessionTracker::applicationDidEnterBackground() {
  std::lock_guard lock(monitor_);
  lastEnteredBackgroundTime_ = clock_();
}

void TLSessionTracker::applicationWillEnterForeground() {
  std::lock_guard lock(monitor_);
  lastEnteredForegroundTime_ = clock_();
  renewSessionId();
}

void TLSessionTracker::channelPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log) {
  if (!log || std::dynamic_pointer_cast<TLStartSessionLog>(log) || std::dynamic_pointer_cast<TLStartServiceLog>(log)) {
    return;
  }
  if (!std::dynamic_pointer_cast<TLNoAutoAssignSessionIdLog>(log)) log->setSid(context_->sessionId());
  setLastCreatedLogTime(clock_());
}

// ---- State ---------------------------------------------------------------------------------------

bool TLSessionTracker::isStarted() {
  std::lock_guard lock(monitor_);
  return started_;
}

void TLSessionTracker::setDelegate(std::weak_ptr<TLSessionTrackerDelegate> delegate) {
  std::lock_guard lock(monitor_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<TLSessionTrackerDelegate> TLSessionTracker::delegate() {
  std::lock_guard lock(monitor_);
  return delegate_.lock();
}

double TLSessionTracker::sessionTimeout() {
  std::lock_guard lock(monitor_);
  return sessionTimeout_;
}

void TLSessionTracker::setSessionTimeout(double seconds) {
  std::lock_guard lock(monitor_);
  sessionTimeout_ = seconds;
}

std::optional<foundation::Date> TLSessionTracker::lastCreatedLogTime() const {
  const double seconds = lastCreatedLogTime_.load();
  if (std::isnan(seconds)) return std::nullopt;
  return foundation::Date::fromTimeIntervalSinceReferenceDate(seconds);
}

void TLSessionTracker::setLastCreatedLogTime(std::optional<foundation::Date> time) {
  lastCreatedLogTime_.store(time ? time->timeIntervalSinceReferenceDate() : kNoTime);
}

std::optional<foundation::Date> TLSessionTracker::lastEnteredForegroundTime() {
  std::lock_guard lock(monitor_);
  return lastEnteredForegroundTime_;
}

std::optional<foundation::Date> TLSessionTracker::lastEnteredBackgroundTime() {
  std::lock_guard lock(monitor_);
  return lastEnteredBackgroundTime_;
}
