#include "telemetry/analytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"

#include "platform/foundation/String.h"
#include "telemetry/analytics/TLAnalytics.h"
#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLLogger.h"

TLAnalyticsTransmissionTarget::TLAnalyticsTransmissionTarget(std::string token,
                                                             std::shared_ptr<TLAnalyticsTransmissionTarget> parentTarget,
                                                             std::shared_ptr<TLChannelGroupProtocol> channelGroup)
    : transmissionTargetToken_(std::move(token)),
      parentTarget_(std::move(parentTarget)),
      channelGroup_(std::move(channelGroup)),
      isEnabledKey_(foundation::stringWithFormat("%@/%@", TLAnalytics::sharedInstance()->isEnabledKey(),
                                                 TLUtility::targetKeyFromTargetToken(transmissionTargetToken_))) {
  // A target born under a disabled level starts disabled.
  if (!isImmediateParent()) TLUserDefaults::shared().setObject(foundation::Value(false), isEnabledKey_);
}

bool TLAnalyticsTransmissionTarget::isEnabled() {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  const foundation::Value stored = TLUserDefaults::shared().objectForKey(isEnabledKey_);
  return stored.isNull() || stored.boolValue();
}

void TLAnalyticsTransmissionTarget::setEnabled(bool isEnabled) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  if (isEnabled == this->isEnabled()) return;
  if (isEnabled && !isImmediateParent()) {
    TLLogWarning(kTLAnalyticsLogTag, "Can't enable; parent transmission target and/or Analytics service is disabled.");
    return;
  }
  TLUserDefaults::shared().setObject(foundation::Value(isEnabled), isEnabledKey_);
  if (isEnabled) resume();
}

bool TLAnalyticsTransmissionTarget::isImmediateParent() {
  if (parentTarget_) return parentTarget_->isEnabled();
  // The service's own state, without the SDK's monitor: the enable switch of the service holds
  // that monitor while it takes the service's lock to switch its targets.
  const auto analytics = TLAnalytics::sharedInstance();
  return analytics->canBeUsed() && analytics->isInstanceEnabled();
}

void TLAnalyticsTransmissionTarget::pause() {
  if (!isEnabled()) {
    TLLogError(kTLAnalyticsLogTag, "This transmission target is disabled.");
    return;
  }
  TLAnalytics::pauseTransmissionTargetForToken(transmissionTargetToken_);
}

void TLAnalyticsTransmissionTarget::resume() {
  if (!isEnabled()) {
    TLLogError(kTLAnalyticsLogTag, "This transmission target is disabled.");
    return;
  }
  TLAnalytics::resumeTransmissionTargetForToken(transmissionTargetToken_);
}
