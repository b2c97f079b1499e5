#include "telemetry/analytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"

#include "telemetry/analytics/TLAnalytics.h"
#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLLogger.h"

namespace {

struct SharedProvider {
  std::mutex mutex;
  std::shared_ptr<TLAnalyticsAuthenticationProvider> provider;
};

SharedProvider& sharedProvider() {
  static SharedProvider shared;
  return shared;
}

std::string enabledKeyFor(const std::string& token) {
  return TLAnalytics::sharedInstance()->isEnabledKey() + "/" + TLUtility::targetKeyFromTargetToken(token).value_or("");
}

}  // namespace

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalyticsTransmissionTarget::create(
    const std::string& token, const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget,
    const std::shared_ptr<TLChannelGroupProtocol>& channelGroup) {
  auto target = std::make_shared<TLAnalyticsTransmissionTarget>(Passkey{}, token, parentTarget, channelGroup);
  target->propertyConfigurator_ = std::make_shared<TLPropertyConfigurator>(target);
  // Born under a disabled level, a target is stored as disabled.
  if (!target->isImmediateParent()) TLUserDefaults::shared().setObject(false, target->isEnabledKey_);
  if (channelGroup) {
    channelGroup->addDelegate(target->propertyConfigurator_);
    channelGroup->addDelegate(target);
  }
  return target;
}

TLAnalyticsTransmissionTarget::TLAnalyticsTransmissionTarget(
    Passkey, const std::string& token, const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget,
    const std::shared_ptr<TLChannelGroupProtocol>& channelGroup)
    : parentTarget_(parentTarget),
      isTopLevel_(!parentTarget),
      isEnabledKey_(enabledKeyFor(token)),
      channelGroup_(channelGroup),
      transmissionTargetToken_(token) {}

void TLAnalyticsTransmissionTarget::trackEvent(const std::string& eventName) {
  trackEvent(eventName, std::optional<foundation::Dictionary>());
}

void TLAnalyticsTransmissionTarget::trackEvent(const std::string& eventName,
                                               const std::optional<foundation::Dictionary>& properties, TLFlags flags) {
  std::shared_ptr<TLEventProperties> typed;
  if (properties) {
    typed = std::make_shared<TLEventProperties>();
    for (const auto& [key, value] : *properties) {
      if (value.isString()) typed->setString(value.stringValue(), key);
    }
  }
  trackEvent(eventName, typed, flags);
}

void TLAnalyticsTransmissionTarget::trackEvent(const std::string& eventName,
                                               const std::shared_ptr<TLEventProperties>& properties, TLFlags flags) {
  auto merged = std::make_shared<TLEventProperties>();
  // Nearest first: a key already merged keeps the nearer target's value.
  for (auto level = shared_from_this(); level; level = level->parentTarget()) {
    level->propertyConfigurator()->mergeTypedPropertiesWith(*merged);
  }
  if (properties) {
    merged->mergeEventProperties(*properties);
  } else if (merged->isEmpty()) {
    merged.reset();
  }
  TLAnalytics::trackEvent(eventName, merged, shared_from_this(), flags);
}

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalyticsTransmissionTarget::transmissionTargetForToken(
    const std::string& token) {
  // The service's lock first, as everywhere: making a child reads the enabled state under it.
  std::lock_guard serviceLock(TLAnalytics::sharedInstance()->monitor());
  std::lock_guard lock(childrenMutex_);
  for (const auto& [childToken, child] : children_) {
    if (childToken == token) return child;
  }
  auto child = create(token, shared_from_this(), channelGroup_);
  children_.emplace_back(token, child);
  return child;
}

std::vector<std::pair<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>>>
TLAnalyticsTransmissionTarget::childTransmissionTargets() const {
  std::lock_guard lock(childrenMutex_);
  return children_;
}

bool TLAnalyticsTransmissionTarget::isEnabled() {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  const foundation::Value stored = TLUserDefaults::shared().objectForKey(isEnabledKey_);
  return stored.isNull() ? true : stored.boolValue();
}

void TLAnalyticsTransmissionTarget::setEnabled(bool isEnabled) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  if (isEnabled != this->isEnabled()) {
    if (isEnabled && !isImmediateParent()) {
      TLLogWarning(kTLAnalyticsLogTag, "Can't enable; parent transmission target and/or Analytics service is disabled.");
      return;
    }
    TLUserDefaults::shared().setObject(isEnabled, isEnabledKey_);
    if (isEnabled) resume();
  }
  for (const auto& [token, child] : childTransmissionTargets()) child->setEnabled(isEnabled);
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

bool TLAnalyticsTransmissionTarget::isImmediateParent() {
  if (isTopLevel_) {
    // The service's own state, not its class operation: that takes the SDK's monitor, which the
    // service's enable switch holds while it takes the service's lock to switch its targets.
    const auto analytics = TLAnalytics::sharedInstance();
    return analytics->canBeUsed() && analytics->isInstanceEnabled();
  }
  const auto parent = parentTarget();
  return parent && parent->isEnabled();
}

void TLAnalyticsTransmissionTarget::channelPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log) {
  const auto commonSchemaLog = std::dynamic_pointer_cast<TLCommonSchemaLog>(log);
  if (!commonSchemaLog) return;
  const auto tokens = commonSchemaLog->transmissionTargetTokens();
  if (!tokens || !tokens->contains(transmissionTargetToken_) || !isEnabled()) return;
  const auto provider = authenticationProvider();
  if (!provider) return;
  auto ext = commonSchemaLog->ext();
  if (!ext) {
    ext = std::make_shared<TLCSExtensions>();
    commonSchemaLog->setExt(ext);
  }
  if (!ext->protocolExt) ext->protocolExt = std::make_shared<TLProtocolExtension>();
  ext->protocolExt->ticketKeys = std::vector<std::string>{provider->ticketKeyHash()};
  provider->checkTokenExpiry();
}

void TLAnalyticsTransmissionTarget::addAuthenticationProvider(
    const std::shared_ptr<TLAnalyticsAuthenticationProvider>& provider) {
  if (!provider) {
    TLLogError(kTLAnalyticsLogTag, "Authentication provider may not be null.");
    return;
  }
  setAuthenticationProvider(provider);
  // Asked outside the class lock: a delegate that answers at once must not find it held.
  provider->acquireTokenAsync();
}

std::shared_ptr<TLAnalyticsAuthenticationProvider> TLAnalyticsTransmissionTarget::authenticationProvider() {
  std::lock_guard lock(sharedProvider().mutex);
  return sharedProvider().provider;
}

void TLAnalyticsTransmissionTarget::setAuthenticationProvider(
    const std::shared_ptr<TLAnalyticsAuthenticationProvider>& provider) {
  std::lock_guard lock(sharedProvider().mutex);
  sharedProvider().provider = provider;
}
