#include "telemetry/analytics/TLAnalytics.h"

#include "platform/dispatch/Queue.h"
#include "platform/foundation/UUID.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLPageLog.h"
#include "telemetry/analytics/TLAnalytics+Validation.h"
#include "telemetry/analytics/TLAnalyticsArchivableClasses.h"
#include "telemetry/analytics/TLAnalyticsCategory.h"
#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLLogger.h"

namespace {

std::mutex sharedInstanceMutex;
std::shared_ptr<TLAnalytics> sharedAnalytics;

}  // namespace

// ---- Class operations ------------------------------------------------------------------------------

void TLAnalytics::trackEvent(const std::optional<std::string>& eventName) {
  trackEvent(eventName, foundation::Dictionary());
}

void TLAnalytics::trackEvent(const std::optional<std::string>& eventName, const foundation::Dictionary& properties) {
  trackEvent(eventName, properties, TLFlagsDefault);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& eventName, const foundation::Dictionary& properties,
                             TLFlags flags) {
  trackEvent(eventName, std::optional<foundation::Dictionary>(properties), nullptr, flags);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& eventName,
                             const std::shared_ptr<TLEventProperties>& properties) {
  trackEvent(eventName, properties, TLFlagsDefault);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& eventName,
                             const std::shared_ptr<TLEventProperties>& properties, TLFlags flags) {
  trackEvent(eventName, properties, nullptr, flags);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& eventName,
                             const std::optional<foundation::Dictionary>& properties,
                             const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget, TLFlags flags) {
  sharedInstance()->instanceTrackEvent(eventName, properties, transmissionTarget, flags);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& eventName,
                             const std::shared_ptr<TLEventProperties>& properties,
                             const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget, TLFlags flags) {
  sharedInstance()->instanceTrackEvent(eventName, properties, transmissionTarget, flags);
}

void TLAnalytics::trackPage(const std::optional<std::string>& pageName) {
  trackPage(pageName, foundation::Dictionary());
}

void TLAnalytics::trackPage(const std::optional<std::string>& pageName, const foundation::Dictionary& properties) {
  sharedInstance()->instanceTrackPage(pageName, properties);
}

void TLAnalytics::pause() { sharedInstance()->instancePause(); }

void TLAnalytics::resume() { sharedInstance()->instanceResume(); }

void TLAnalytics::setAutoPageTrackingEnabled(bool isEnabled) {
  sharedInstance()->instanceSetAutoPageTrackingEnabled(isEnabled);
}

bool TLAnalytics::isAutoPageTrackingEnabled() { return sharedInstance()->instanceIsAutoPageTrackingEnabled(); }

void TLAnalytics::setTransmissionInterval(std::uint32_t seconds) {
  sharedInstance()->instanceSetTransmissionInterval(seconds);
}

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalytics::transmissionTargetForToken(const std::string& token) {
  return sharedInstance()->instanceTransmissionTargetForToken(token);
}

void TLAnalytics::pauseTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->instancePauseTransmissionTargetForToken(token);
}

void TLAnalytics::resumeTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->instanceResumeTransmissionTargetForToken(token);
}

void TLAnalytics::setDelegate(std::shared_ptr<TLAnalyticsDelegate> delegate) {
  sharedInstance()->instanceSetDelegate(std::move(delegate));
}

void TLAnalytics::setEnabled(bool isEnabled) { sharedInstance()->classSetEnabled(isEnabled); }

bool TLAnalytics::isEnabled() { return sharedInstance()->classIsEnabled(); }

std::shared_ptr<TLAnalytics> TLAnalytics::sharedInstance() {
  std::lock_guard lock(sharedInstanceMutex);
  if (!sharedAnalytics) sharedAnalytics = create();
  return sharedAnalytics;
}

void TLAnalytics::resetSharedInstance() {
  std::shared_ptr<TLAnalytics> dropped;
  std::lock_guard lock(sharedInstanceMutex);
  dropped.swap(sharedAnalytics);
}

std::string TLAnalytics::serviceName() { return kTLAnalyticsGroupId; }

std::string TLAnalytics::logTag() { return kTLAnalyticsLogTag; }

// ---- Instance --------------------------------------------------------------------------------------

std::shared_ptr<TLAnalytics> TLAnalytics::create() {
  std::shared_ptr<TLAnalytics> analytics(new TLAnalytics());
  analytics->sessionTracker_->setDelegate(analytics);
  return analytics;
}

TLAnalytics::TLAnalytics() : sessionTracker_(std::make_shared<TLSessionTracker>()) {
  // The store reads the service's logs back by class name when the unit first flushes.
  TLRegisterAnalyticsArchivableClasses();
}

TLAnalytics::~TLAnalytics() = default;

void TLAnalytics::instanceTrackEvent(const std::optional<std::string>& eventName,
                                     const std::optional<foundation::Dictionary>& properties,
                                     const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget,
                                     TLFlags flags) {
  const auto typed = std::make_shared<TLEventProperties>(removeInvalidProperties(properties));
  instanceTrackEvent(eventName, typed, transmissionTarget, flags);
}

void TLAnalytics::instanceTrackEvent(const std::optional<std::string>& eventName,
                                     const std::shared_ptr<TLEventProperties>& properties,
                                     const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget,
                                     TLFlags flags) {
  std::lock_guard lock(monitor_);
  if (!canBeUsed() || !isInstanceEnabled()) return;
  const auto target = transmissionTarget ? transmissionTarget : defaultTransmissionTarget_;
  TLFlags persistence = flags & TLFlagsPersistenceMask;
  if (persistence != TLFlagsNormal && persistence != TLFlagsCritical) {
    TLLogWarning(kTLAnalyticsLogTag, "Invalid flags (%u) received, using normal as a default.",
                 static_cast<unsigned>(persistence));
    persistence = TLFlagsNormal;
  }
  auto log = std::make_shared<TLEventLog>();
  std::shared_ptr<TLEventProperties> eventProperties = properties;
  if (target) {
    if (!target->isEnabled()) {
      TLLogError(kTLAnalyticsLogTag, "This transmission target is disabled.");
      return;
    }
    log->addTransmissionTargetToken(target->transmissionTargetToken());
    log->setTag(foundation::Value(std::static_pointer_cast<foundation::Object>(target)));
    if (target == defaultTransmissionTarget_) log->setUserId(TLUserIdContext::sharedInstance()->userId());
  } else {
    eventProperties = TLAnalyticsValidation::validateTelemetryEventProperties(properties);
  }
  log->setName(eventName);
  log->setEventId(foundation::UUID().UUIDString());
  if (eventProperties && !eventProperties->isEmpty()) log->setTypedProperties(eventProperties);
  sendLog(log, persistence);
}

void TLAnalytics::instanceTrackPage(const std::optional<std::string>& pageName,
                                    const std::optional<foundation::Dictionary>& properties) {
  std::lock_guard lock(monitor_);
  if (!canBeUsed() || !isInstanceEnabled()) return;
  auto log = std::make_shared<TLPageLog>();
  log->setName(pageName);
  if (properties && !properties->empty()) log->setProperties(removeInvalidProperties(properties));
  sendLog(log, TLFlagsNormal);
}

void TLAnalytics::instancePause() {
  std::lock_guard lock(monitor_);
  if (!canBeUsed()) return;
  const TLIdentifyingObject self = shared_from_this();
  if (const auto unit = channelUnit()) unit->pauseWithIdentifyingObject(self);
  if (const auto unit = criticalChannelUnit()) unit->pauseWithIdentifyingObject(self);
}

void TLAnalytics::instanceResume() {
  std::lock_guard lock(monitor_);
  if (!canBeUsed()) return;
  const TLIdentifyingObject self = shared_from_this();
  if (const auto unit = channelUnit()) unit->resumeWithIdentifyingObject(self);
  if (const auto unit = criticalChannelUnit()) unit->resumeWithIdentifyingObject(self);
}

void TLAnalytics::instanceSetTransmissionInterval(std::uint32_t seconds) {
  std::lock_guard lock(monitor_);
  if (isStarted()) {
    TLLogError(kTLAnalyticsLogTag, "The transmission interval should be set before the TLAnalytics service is started.");
    return;
  }
  if (seconds < kTLMinFlushInterval || seconds > kTLMaxFlushInterval) {
    TLLogError(kTLAnalyticsLogTag,
               "The transmission interval is not valid, it should be between %u second(s) and %u second(s) (%u day).",
               kTLMinFlushInterval, kTLMaxFlushInterval, 1u);
    return;
  }
  flushInterval_ = seconds;
  TLLogDebug(kTLAnalyticsLogTag, "Transmission interval set to %u second(s)", seconds);
}

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalytics::instanceTransmissionTargetForToken(const std::string& token) {
  std::lock_guard lock(monitor_);
  if (const auto found = transmissionTargets_.find(token); found != transmissionTargets_.end()) {
    TLLogDebug(kTLAnalyticsLogTag, "Returning transmission target found with id %@.",
               TLUtility::targetKeyFromTargetToken(token));
    return found->second;
  }
  auto target = createTransmissionTargetForToken(token);
  transmissionTargets_.emplace(token, target);
  return target;
}

void TLAnalytics::instancePauseTransmissionTargetForToken(const std::string& token) {
  if (const auto unit = collectorChannelUnit()) unit->pauseSendingLogsWithToken(token);
  if (const auto unit = collectorCriticalChannelUnit()) unit->pauseSendingLogsWithToken(token);
}

void TLAnalytics::instanceResumeTransmissionTargetForToken(const std::string& token) {
  if (const auto unit = collectorChannelUnit()) unit->resumeSendingLogsWithToken(token);
  if (const auto unit = collectorCriticalChannelUnit()) unit->resumeSendingLogsWithToken(token);
}

bool TLAnalytics::instanceIsAutoPageTrackingEnabled() {
  std::lock_guard lock(monitor_);
  return autoPageTrackingEnabled_;
}

void TLAnalytics::instanceSetAutoPageTrackingEnabled(bool isEnabled) {
  std::lock_guard lock(monitor_);
  autoPageTrackingEnabled_ = isEnabled;
}

std::shared_ptr<TLAnalyticsDelegate> TLAnalytics::instanceDelegate() {
  std::lock_guard lock(delegateMutex_);
  return delegate_;
}

void TLAnalytics::instanceSetDelegate(std::shared_ptr<TLAnalyticsDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

// ---- The service protocols --------------------------------------------------------------------------

std::optional<TLChannelUnitConfiguration> TLAnalytics::channelUnitConfiguration() const {
  return channelUnitConfiguration_;
}

void TLAnalytics::startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                        const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken,
                                        bool fromApplication) {
  // Held for the whole start, so that tracking on another thread never sees a half-started service.
  std::lock_guard lock(monitor_);
  channelUnitConfiguration_ = TLChannelUnitConfiguration::defaultConfiguration(kTLAnalyticsGroupId, flushInterval_);
  // The critical unit does not exist yet, so the enabled state the base applies leaves it alone;
  // a new unit starts enabled.
  TLServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
  if (transmissionTargetToken) defaultTransmissionTarget_ = createTransmissionTargetForToken(*transmissionTargetToken);
  auto critical = channelGroup ? channelGroup->addChannelUnitWithConfiguration(
                                     TLChannelUnitConfiguration::defaultConfiguration(kTLAnalyticsCriticalGroupId))
                               : nullptr;
  {
    std::lock_guard unitsLock(unitsMutex_);
    criticalChannelUnit_ = std::move(critical);
  }
  TLLogVerbose(kTLAnalyticsLogTag, "Started Analytics service.");
}

void TLAnalytics::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                   const std::optional<std::string>& transmissionTargetToken) {
  std::lock_guard lock(monitor_);
  TLServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
  if (transmissionTargetToken && !defaultTransmissionTarget_) {
    defaultTransmissionTarget_ = createTransmissionTargetForToken(*transmissionTargetToken);
  }
}

void TLAnalytics::setInstanceEnabled(bool isEnabled) {
  TLServiceAbstract::setInstanceEnabled(isEnabled);
  for (const auto& [token, target] : transmissionTargets()) target->setEnabled(isEnabled);
}

void TLAnalytics::applyEnabledState(bool isEnabled) {
  TLServiceAbstract::applyEnabledState(isEnabled);
  if (const auto critical = criticalChannelUnit()) critical->setEnabled(isEnabled, true);
  const auto group = channelGroup();
  if (isEnabled && isStartedFromApplication()) {
    instanceResume();
    sessionTracker_->start();
    if (group) {
      group->addDelegate(sessionTracker_);
      group->addDelegate(shared_from_this());
    }
    // A screen that appeared before the service could take it is tracked now, from the main
    // queue where screens appear.
    if (instanceIsAutoPageTrackingEnabled()) {
      dispatch::Queue::main()->async([] {
        const auto missed = TLAnalyticsCategory::missedPageViewName();
        if (missed && !missed->empty()) TLAnalytics::trackPage(*missed);
      });
    }
  } else if (!isEnabled && isStartedFromApplication()) {
    if (group) {
      group->removeDelegate(sessionTracker_);
      group->removeDelegate(shared_from_this());
    }
    sessionTracker_->stop();
    sessionTracker_->context()->clearSessionHistoryAndKeepCurrentSession(false);
  }
  TLLogInfo(kTLAnalyticsLogTag, isEnabled ? "Analytics service has been enabled." : "Analytics service has been disabled.");
}

// ---- Session tracker and channel delegate -------------------------------------------------------------

void TLAnalytics::sessionTrackerProcessLog(TLSessionTracker& /*sessionTracker*/, const std::shared_ptr<TLLog>& log) {
  sendLog(log, TLFlagsNormal);
}

bool TLAnalytics::channelUnitShouldFilterLog(TLChannelUnitProtocol& /*channelUnit*/, const std::shared_ptr<TLLog>& log) {
  return TLAnalyticsValidation::shouldFilterLog(log);
}

template <class EventBody, class PageBody>
void TLAnalytics::notifyDelegate(const std::shared_ptr<TLLog>& log, EventBody eventBody, PageBody pageBody) {
  const auto delegate = instanceDelegate();
  if (!delegate) return;
  if (auto event = std::dynamic_pointer_cast<TLEventLog>(log)) {
    eventBody(*delegate, event);
  } else if (auto page = std::dynamic_pointer_cast<TLPageLog>(log)) {
    pageBody(*delegate, page);
  }
}

void TLAnalytics::channelWillSendLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log) {
  notifyDelegate(
      log, [this](TLAnalyticsDelegate& d, const auto& event) { d.analyticsWillSendEventLog(*this, event); },
      [this](TLAnalyticsDelegate& d, const auto& page) { d.analyticsWillSendPageLog(*this, page); });
}

void TLAnalytics::channelDidSucceedSendingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log) {
  notifyDelegate(
      log, [this](TLAnalyticsDelegate& d, const auto& event) { d.analyticsDidSucceedSendingEventLog(*this, event); },
      [this](TLAnalyticsDelegate& d, const auto& page) { d.analyticsDidSucceedSendingPageLog(*this, page); });
}

void TLAnalytics::channelDidFailSendingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log,
                                           const std::optional<foundation::Error>& error) {
  notifyDelegate(
      log,
      [this, &error](TLAnalyticsDelegate& d, const auto& event) { d.analyticsDidFailSendingEventLog(*this, event, error); },
      [this, &error](TLAnalyticsDelegate& d, const auto& page) { d.analyticsDidFailSendingPageLog(*this, page, error); });
}

// ---- Used inside the subsystem ------------------------------------------------------------------------

void TLAnalytics::sendLog(const std::shared_ptr<TLLog>& log, TLFlags flags) {
  const auto unit = (flags & TLFlagsCritical) ? criticalChannelUnit() : channelUnit();
  if (unit) unit->enqueueItem(log, flags);
}

foundation::Dictionary TLAnalytics::removeInvalidProperties(const std::optional<foundation::Dictionary>& properties) {
  foundation::Dictionary valid;
  if (!properties) return valid;
  // Named references, not a structured binding: the logging macro's lambda captures `key`.
  for (const auto& entry : *properties) {
    const std::string& key = entry.first;
    const foundation::Value& value = entry.second;
    if (!value.isString()) {
      TLLogWarning(kTLAnalyticsLogTag, "Event property contains an invalid value for key %@, dropping the property.",
                   key);
      continue;
    }
    valid.set(key, value);
  }
  return valid;
}

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalytics::createTransmissionTargetForToken(const std::string& token) {
  auto target = TLAnalyticsTransmissionTarget::create(token, nullptr, channelGroup());
  TLLogDebug(kTLAnalyticsLogTag, "Created transmission target with target key %@.",
             TLUtility::targetKeyFromTargetToken(token));
  return target;
}

std::shared_ptr<TLChannelUnitProtocol> TLAnalytics::collectorChannelUnit() {
  std::lock_guard lock(monitor_);
  if (!collectorChannelUnit_ && channelGroup()) {
    collectorChannelUnit_ = channelGroup()->channelUnitForGroupId(kTLAnalyticsCollectorGroupId);
  }
  return collectorChannelUnit_;
}

std::shared_ptr<TLChannelUnitProtocol> TLAnalytics::collectorCriticalChannelUnit() {
  std::lock_guard lock(monitor_);
  if (!collectorCriticalChannelUnit_ && channelGroup()) {
    collectorCriticalChannelUnit_ = channelGroup()->channelUnitForGroupId(kTLAnalyticsCriticalCollectorGroupId);
  }
  return collectorCriticalChannelUnit_;
}

// ---- State --------------------------------------------------------------------------------------------

std::shared_ptr<TLChannelUnitProtocol> TLAnalytics::criticalChannelUnit() {
  std::lock_guard lock(unitsMutex_);
  return criticalChannelUnit_;
}

std::uint64_t TLAnalytics::flushInterval() {
  std::lock_guard lock(monitor_);
  return flushInterval_;
}

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalytics::defaultTransmissionTarget() {
  std::lock_guard lock(monitor_);
  return defaultTransmissionTarget_;
}

std::map<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>> TLAnalytics::transmissionTargets() {
  std::lock_guard lock(monitor_);
  return transmissionTargets_;
}
