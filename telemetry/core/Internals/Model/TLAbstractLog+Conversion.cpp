// The common-schema side of TLAbstractLog: one common-schema log per transmission target.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "platform/foundation/Bundle.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/Model/TLAbstractLog.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"

namespace {

constexpr const char* kCommonSchemaVersion = "3.0";
constexpr const char* kAppIdPrefix = "I:";

bool isPresent(const std::optional<std::string>& text) { return text && !text->empty(); }

// The locale as the collector takes it, with "-" in place of every "_".
std::optional<std::string> collectorLocale(std::optional<std::string> locale) {
  if (locale) std::replace(locale->begin(), locale->end(), '_', '-');
  return locale;
}

std::optional<std::string> firstPreferredLocalization() {
  const auto localizations = foundation::Bundle::mainBundle()->preferredLocalizations();
  if (localizations.empty()) return std::nullopt;
  return localizations.front();
}

// The extensions filled from the log's user id and device; a missing device or field leaves the
// matching value absent rather than inventing one.
std::shared_ptr<TLCSExtensions> extensionsFor(const std::optional<std::string>& userId, const TLDevice* device) {
  auto ext = std::make_shared<TLCSExtensions>();
  ext->protocolExt = std::make_shared<TLProtocolExtension>();
  ext->userExt = std::make_shared<TLUserExtension>();
  ext->userExt->localId = TLUserIdContext::prefixedUserIdFromUserId(userId);
  ext->osExt = std::make_shared<TLOSExtension>();
  ext->appExt = std::make_shared<TLAppExtension>();
  ext->appExt->locale = firstPreferredLocalization();
  ext->netExt = std::make_shared<TLNetExtension>();
  ext->sdkExt = std::make_shared<TLSDKExtension>();
  ext->locExt = std::make_shared<TLLocExtension>();
  ext->deviceExt = std::make_shared<TLDeviceExtension>();
  if (!device) return ext;

  ext->protocolExt->devMake = device->oemName;
  ext->protocolExt->devModel = device->model;
  ext->userExt->locale = collectorLocale(device->locale);
  ext->osExt->name = device->osName;
  ext->osExt->ver = TLAbstractLog::combineOsVersion(device->osVersion, device->osBuild);
  if (device->appNamespace) ext->appExt->appId = kAppIdPrefix + *device->appNamespace;
  ext->appExt->ver = device->appVersion;
  ext->netExt->provider = device->carrierName;
  ext->sdkExt->libVer = TLAbstractLog::combineSDKLibVer(device->sdkName, device->sdkVersion);
  if (device->timeZoneOffset) ext->locExt->tz = TLAbstractLog::convertTimeZoneOffsetToISO8601(*device->timeZoneOffset);
  return ext;
}

}  // namespace

std::vector<std::shared_ptr<TLCommonSchemaLog>> TLAbstractLog::toCommonSchemaLogsWithFlags(TLFlags flags) const {
  std::vector<std::shared_ptr<TLCommonSchemaLog>> logs;
  const auto tokens = transmissionTargetTokens();
  if (!tokens) return logs;
  for (const std::string& token : *tokens) {
    if (auto log = toCommonSchemaLogForTargetToken(token, flags)) logs.push_back(std::move(log));
  }
  return logs;
}

std::shared_ptr<TLCommonSchemaLog> TLAbstractLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                                  TLFlags flags) const {
  auto iKey = TLUtility::iKeyFromTargetToken(token);
  if (!iKey) return nullptr;
  auto log = std::make_shared<TLCommonSchemaLog>();
  log->addTransmissionTargetToken(token);
  log->setVer(kCommonSchemaVersion);
  log->setTimestamp(timestamp());
  log->setIKey(std::move(iKey));
  log->setFlags(static_cast<std::int64_t>(flags));
  log->setExt(extensionsFor(userId(), device().get()));
  return log;
}

std::optional<std::string> TLAbstractLog::combineOsVersion(const std::optional<std::string>& version,
                                                           const std::optional<std::string>& build) {
  if (!isPresent(version)) return std::nullopt;
  std::string text = "Version " + *version;
  if (isPresent(build)) text += " (Build " + *build + ")";
  return text;
}

std::optional<std::string> TLAbstractLog::combineSDKLibVer(const std::optional<std::string>& name,
                                                           const std::optional<std::string>& version) {
  if (!isPresent(name) || !isPresent(version)) return std::nullopt;
  return *name + "-" + *version;
}

std::string TLAbstractLog::convertTimeZoneOffsetToISO8601(std::int64_t offsetMinutes) {
  // The magnitude is taken unsigned so that the most negative offset cannot overflow.
  const std::uint64_t magnitude =
      offsetMinutes < 0 ? 0 - static_cast<std::uint64_t>(offsetMinutes) : static_cast<std::uint64_t>(offsetMinutes);
  char text[48];
  std::snprintf(text, sizeof text, "%c%02" PRIu64 ":%02" PRIu64, offsetMinutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}
