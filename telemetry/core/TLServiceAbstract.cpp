#include "telemetry/core/TLServiceAbstract.h"

#include <mutex>

#include "platform/foundation/String.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/TLServiceClass.h"
#include "telemetry/core/TLTelemetry.h"

void TLServiceAbstract::applyEnabledState(bool isEnabled) {
  if (channelUnit_) channelUnit_->setEnabled(isEnabled, true);
}

bool TLServiceAbstract::canBeUsed() {
  if (TLTelemetry::sharedInstance()->sdkConfigured() && isStarted()) return true;
  TLLogError(kTLLogTag,
             "%@ service hasn't been started. You need to call [TLTelemetry start:YOUR_APP_SECRET "
             "withServices:LIST_OF_SERVICES] first.",
             shortClassName());
  return false;
}

void TLServiceAbstract::startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                              const std::optional<std::string>& appSecret,
                                              const std::optional<std::string>& transmissionTargetToken,
                                              bool fromApplication) {
  startedFromApplication_ = fromApplication;
  channelGroup_ = channelGroup;
  appSecret_ = appSecret;
  defaultTransmissionTargetToken_ = transmissionTargetToken;
  started_ = true;
  if (const auto configuration = channelUnitConfiguration(); configuration && channelGroup_) {
    channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(configuration);
  }
  if (isInstanceEnabled()) applyEnabledState(true);
}

void TLServiceAbstract::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                         const std::optional<std::string>& transmissionTargetToken) {
  startedFromApplication_ = true;
  appSecret_ = appSecret;
  defaultTransmissionTargetToken_ = transmissionTargetToken;
  if (isInstanceEnabled()) applyEnabledState(true);
}

bool TLServiceAbstract::isInstanceEnabled() {
  const foundation::Value stored = TLUserDefaults::shared().objectForKey(isEnabledKey());
  return stored.isNull() ? true : stored.boolValue();
}

void TLServiceAbstract::setInstanceEnabled(bool isEnabled) {
  if (isEnabled == isInstanceEnabled()) return;
  applyEnabledState(isEnabled);
  TLUserDefaults::shared().setObject(foundation::Value(isEnabled), isEnabledKey());
}

bool TLServiceAbstract::classIsEnabled() {
  std::lock_guard guard(TLTelemetry::monitor());
  return canBeUsed() && isInstanceEnabled();
}

void TLServiceAbstract::classSetEnabled(bool isEnabled) {
  std::lock_guard guard(TLTelemetry::monitor());
  if (!canBeUsed()) return;
  if (!TLTelemetry::isEnabled() && !TLTelemetry::sharedInstance()->enabledStateUpdating()) {
    TLLogError(kTLLogTag,
               "The SDK is disabled. Re-enable the whole SDK from Telemetry first before enabling %@ service.",
               shortClassName());
    return;
  }
  setInstanceEnabled(isEnabled);
}

std::string TLServiceAbstract::isEnabledKey() const {
  return foundation::stringWithFormat(kIsEnabledKeyFormat, groupId());
}

std::string TLServiceAbstract::shortClassName() const {
  const std::string name = TLServiceClass::demangledName(typeid(*this));
  return name.size() > 2 ? name.substr(2) : std::string();
}
