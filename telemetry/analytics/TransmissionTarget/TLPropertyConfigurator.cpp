#include "telemetry/analytics/TransmissionTarget/TLPropertyConfigurator.h"

#include "platform/security/PlatformUUID.h"
#include "telemetry/analytics/TLAnalytics.h"
#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/analytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/TLLogger.h"

namespace {

// The first value `field` answers walking from `target` up through its parents.
std::optional<std::string> inherited(const std::shared_ptr<TLAnalyticsTransmissionTarget>& target,
                                     std::optional<std::string> (TLPropertyConfigurator::*field)() const) {
  for (auto level = target; level; level = level->parentTarget()) {
    if (auto value = (level->propertyConfigurator().get()->*field)()) return value;
  }
  return std::nullopt;
}

}  // namespace

TLPropertyConfigurator::TLPropertyConfigurator(const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget)
    : transmissionTarget_(transmissionTarget) {}

void TLPropertyConfigurator::setAppVersion(const std::optional<std::string>& appVersion) {
  std::lock_guard lock(mutex_);
  appVersion_ = appVersion;
}

void TLPropertyConfigurator::setAppName(const std::optional<std::string>& appName) {
  std::lock_guard lock(mutex_);
  appName_ = appName;
}

void TLPropertyConfigurator::setAppLocale(const std::optional<std::string>& appLocale) {
  std::lock_guard lock(mutex_);
  appLocale_ = appLocale;
}

void TLPropertyConfigurator::setUserId(const std::optional<std::string>& userId) {
  if (!TLUserIdContext::isUserIdValidForCollector(userId)) return;
  std::lock_guard lock(mutex_);
  userId_ = TLUserIdContext::prefixedUserIdFromUserId(userId);
}

std::optional<std::string> TLPropertyConfigurator::appVersion() const {
  std::lock_guard lock(mutex_);
  return appVersion_;
}

std::optional<std::string> TLPropertyConfigurator::appName() const {
  std::lock_guard lock(mutex_);
  return appName_;
}

std::optional<std::string> TLPropertyConfigurator::appLocale() const {
  std::lock_guard lock(mutex_);
  return appLocale_;
}

std::optional<std::string> TLPropertyConfigurator::userId() const {
  std::lock_guard lock(mutex_);
  return userId_;
}

std::optional<std::string> TLPropertyConfigurator::deviceId() const {
  std::lock_guard lock(mutex_);
  return deviceId_;
}

void TLPropertyConfigurator::setEventPropertyString(const std::optional<std::string>& value,
                                                    const std::optional<std::string>& key) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  eventProperties_->setString(value, key);
}

void TLPropertyConfigurator::setEventPropertyDouble(double value, const std::optional<std::string>& key) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  eventProperties_->setDouble(value, key);
}

void TLPropertyConfigurator::setEventPropertyInt64(std::int64_t value, const std::optional<std::string>& key) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  eventProperties_->setInt64(value, key);
}

void TLPropertyConfigurator::setEventPropertyBool(bool value, const std::optional<std::string>& key) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  eventProperties_->setBool(value, key);
}

void TLPropertyConfigurator::setEventPropertyDate(const std::optional<foundation::Date>& value,
                                                  const std::optional<std::string>& key) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  eventProperties_->setDate(value, key);
}

void TLPropertyConfigurator::removeEventPropertyForKey(const std::optional<std::string>& key) {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  if (!key) {
    TLLogError(kTLAnalyticsLogTag, "Event property key to remove cannot be nil.");
    return;
  }
  eventProperties_->removeProperty(*key);
}

void TLPropertyConfigurator::collectDeviceId() {
  auto deviceId = getDeviceIdentifier();
  std::lock_guard lock(mutex_);
  deviceId_ = std::move(deviceId);
}

std::optional<std::string> TLPropertyConfigurator::getDeviceIdentifier() {
  const auto uuid = security::platformUUID();
  if (!uuid) return std::nullopt;
  return kDeviceIdPrefix + uuid->UUIDString();
}

void TLPropertyConfigurator::mergeTypedPropertiesWith(TLEventProperties& destination) const {
  std::lock_guard lock(TLAnalytics::sharedInstance()->monitor());
  const foundation::Dictionary present = destination.properties();
  for (const auto& [key, value] : eventProperties_->properties()) {
    if (!present.contains(key)) destination.setTypedProperty(value.objectAs<TLTypedProperty>(), key);
  }
}

void TLPropertyConfigurator::channelPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log) {
  const auto target = transmissionTarget_.lock();
  const auto commonSchemaLog = std::dynamic_pointer_cast<TLCommonSchemaLog>(log);
  if (!target || !commonSchemaLog || commonSchemaLog->tag().objectValue() != target || !target->isEnabled()) return;

  auto ext = commonSchemaLog->ext();
  if (!ext) {
    ext = std::make_shared<TLCSExtensions>();
    commonSchemaLog->setExt(ext);
  }
  if (!ext->appExt) ext->appExt = std::make_shared<TLAppExtension>();
  if (auto value = inherited(target, &TLPropertyConfigurator::appVersion)) ext->appExt->ver = std::move(value);
  if (auto value = inherited(target, &TLPropertyConfigurator::appName)) ext->appExt->name = std::move(value);
  if (auto value = inherited(target, &TLPropertyConfigurator::appLocale)) ext->appExt->locale = std::move(value);
  if (auto value = inherited(target, &TLPropertyConfigurator::userId)) {
    if (!ext->userExt) ext->userExt = std::make_shared<TLUserExtension>();
    ext->userExt->localId = std::move(value);
  }
  // The device id leaves the machine only for a target that asked for it.
  auto ownDeviceId = deviceId();
  if (!ext->deviceExt) ext->deviceExt = std::make_shared<TLDeviceExtension>();
  ext->deviceExt->localId = std::move(ownDeviceId);
}
