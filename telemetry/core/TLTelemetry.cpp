#include "telemetry/core/TLTelemetry.h"

#include <algorithm>
#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/String.h"
#include "platform/kernel/Sysctl.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"
#include "telemetry/core/Internals/Channel/TLCollectorChannelDelegate.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/DelegateForwarder/TLAppDelegateForwarder.h"
#include "telemetry/core/Internals/Model/TLCustomPropertiesLog.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/core/TLCustomProperties.h"

#ifndef QM_TELEMETRY_INGESTION_URL
#define QM_TELEMETRY_INGESTION_URL ""
#endif

namespace {

std::mutex sharedMutex;
std::shared_ptr<TLTelemetry> sharedTelemetry;

// The ingestion's address when the application gives none: a build setting, empty unless
// configured, so that a fresh build sends nothing anywhere.
std::string defaultLogUrl() { return QM_TELEMETRY_INGESTION_URL; }

const char* placeholderFor(bool fromApplication) { return fromApplication ? "" : "from a library "; }

std::optional<std::string> environmentValue(const std::string& name) {
  const auto environment = foundation::ProcessInfo::processInfo().environment();
  const auto found = environment.find(name);
  if (found == environment.end()) return std::nullopt;
  return found->second;
}

}  // namespace

// ---- Shared instance --------------------------------------------------------------------------

std::shared_ptr<TLTelemetry> TLTelemetry::sharedInstance() {
  // The delegate forwarder reads its switch before the SDK's first log level is set, so that its
  // trace is among those written then.
  static const bool forwarderLoaded = (TLAppDelegateForwarder::sharedInstance(), true);
  (void)forwarderLoaded;
  std::lock_guard guard(sharedMutex);
  if (!sharedTelemetry) sharedTelemetry = std::make_shared<TLTelemetry>();
  return sharedTelemetry;
}

void TLTelemetry::resetSharedInstance() {
  std::lock_guard guard(sharedMutex);
  sharedTelemetry.reset();
}

foundation::Monitor& TLTelemetry::monitor() {
  // Never destroyed: services may take it from their own shared instances' destructors at exit.
  static auto* monitor = new foundation::Monitor();
  return *monitor;
}

// ---- Class operations -------------------------------------------------------------------------

void TLTelemetry::start(const std::optional<std::string>& secretString, const std::vector<TLServiceClass>& services) {
  sharedInstance()->start(secretString, services, true);
}

void TLTelemetry::startWithServices(const std::vector<TLServiceClass>& services) {
  sharedInstance()->start(std::nullopt, services, true);
}

void TLTelemetry::startFromLibraryWithServices(const std::vector<TLServiceClass>& services) {
  sharedInstance()->start(std::nullopt, services, false);
}

void TLTelemetry::configureWithAppSecret(const std::optional<std::string>& secretString) {
  sharedInstance()->configureWithAppSecret(TLUtility::appSecretFrom(secretString),
                                           TLUtility::transmissionTargetTokenFrom(secretString), true);
}

void TLTelemetry::configure() { sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true); }

void TLTelemetry::startService(const std::optional<TLServiceClass>& service) {
  if (!service) return;
  const auto shared = sharedInstance();
  std::optional<std::string> appSecret;
  std::optional<std::string> token;
  {
    std::lock_guard guard(monitor());
    appSecret = shared->appSecret_;
    token = shared->defaultTransmissionTargetToken_;
  }
  shared->startServices({*service}, appSecret, token, true);
}

bool TLTelemetry::isConfigured() {
  const auto shared = sharedInstance();
  std::lock_guard guard(monitor());
  return shared->sdkConfigured_ && shared->configuredFromApplication_;
}

bool TLTelemetry::isRunningInTelemetryTestCloud() {
  return environmentValue(kTLRunningInTestCloudVariable) == std::optional<std::string>("1");
}

void TLTelemetry::setLogUrl(const std::string& logUrl) {
  const auto shared = sharedInstance();
  std::lock_guard guard(monitor());
  shared->logUrl_ = logUrl;
  if (!shared->channelGroup_) return;
  if (shared->appSecret_) {
    TLLogInfo(kTLLogTag, "The log url of Telemetry endpoint was changed to %@", logUrl);
    shared->channelGroup_->setLogUrl(logUrl);
  } else {
    TLLogInfo(kTLLogTag, "The log url of Collector endpoint was changed to %@", logUrl);
    shared->collectorChannelDelegate_->setLogUrl(logUrl);
  }
}

void TLTelemetry::setEnabled(bool isEnabled) {
  const auto shared = sharedInstance();
  std::lock_guard guard(monitor());
  if (!shared->canBeUsed()) return;
  shared->enabledStateUpdating_ = true;
  if (shared->isEnabledInSettings() != isEnabled) {
    TLUserDefaults::shared().setObject(foundation::Value(isEnabled), kTLTelemetryIsEnabledKey);
    shared->applyPipelineEnabledState(isEnabled);
  }
  // Every service hears it, also when the SDK's own state did not change.
  for (const auto& service : shared->services_) service->classSetEnabled(isEnabled);
  shared->enabledStateUpdating_ = false;
  TLLogInfo(kTLLogTag, "Telemetry SDK %@.", isEnabled ? "enabled" : "disabled");
}

bool TLTelemetry::isEnabled() {
  const auto shared = sharedInstance();
  std::lock_guard guard(monitor());
  return shared->canBeUsed() && shared->isEnabledInSettings();
}

bool TLTelemetry::isAppDelegateForwarderEnabled() { return TLAppDelegateForwarder::sharedInstance()->isEnabled(); }

foundation::UUID TLTelemetry::installId() { return sharedInstance()->loadInstallId(); }

foundation::UUID TLTelemetry::loadInstallId() {
  std::lock_guard guard(monitor());
  if (installId_) return *installId_;
  const foundation::Value stored = TLUserDefaults::shared().objectForKey(kTLInstallIdKey);
  std::optional<foundation::UUID> installId;
  if (stored.isString()) installId = foundation::UUID::fromString(stored.stringValue());
  if (!installId) {
    installId = foundation::UUID();
    TLUserDefaults::shared().setObject(foundation::Value(installId->UUIDString()), kTLInstallIdKey);
  }
  installId_ = installId;
  return *installId;
}

TLLogLevel TLTelemetry::logLevel() { return TLLogger::currentLogLevel(); }

void TLTelemetry::setLogLevel(TLLogLevel logLevel) {
  TLLogger::setCurrentLogLevel(logLevel);
  // The forwarder's lines from before the level was known are written now, at the new level.
  TLDelegateForwarder::flushTraceBuffer();
}

void TLTelemetry::setLogHandler(TLLogHandler logHandler) { TLLogger::setLogHandler(std::move(logHandler)); }

void TLTelemetry::setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk) {
  TLDeviceTracker::sharedInstance()->setWrapperSdk(std::move(wrapperSdk));
}

void TLTelemetry::setCountryCode(const std::optional<std::string>& countryCode) {
  TLDeviceTracker::sharedInstance()->setCountryCode(countryCode);
}

void TLTelemetry::setCustomProperties(const std::shared_ptr<TLCustomProperties>& customProperties) {
  const foundation::Dictionary properties =
      customProperties ? customProperties->propertiesImmutableCopy() : foundation::Dictionary();
  if (properties.empty()) {
    TLLogError(kTLLogTag, "Custom properties may not be null or empty");
    return;
  }
  sharedInstance()->sendCustomPropertiesLog(properties);
}

void TLTelemetry::setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
  if (sizeInBytes < kMinAcceptedMaxStorageSizeInBytes) {
    if (completionHandler) completionHandler(false);
    TLLogWarning(kTLLogTag, "Cannot set storage size to %ld bytes, minimum value is %ld bytes",
                 static_cast<long>(sizeInBytes), static_cast<long>(kMinAcceptedMaxStorageSizeInBytes));
    return;
  }
  const auto shared = sharedInstance();
  bool accepted = false;
  {
    std::lock_guard guard(monitor());
    if (shared->setMaxStorageSizeHasBeenCalled_) {
      TLLogWarning(kTLLogTag, "setMaxStorageSize:completionHandler: may only be called once per app launch");
    } else {
      shared->setMaxStorageSizeHasBeenCalled_ = true;
      if (shared->configuredFromApplication_) {
        TLLogWarning(kTLLogTag, "Unable to set storage size after the application has configured Telemetry");
      } else {
        accepted = true;
        shared->requestedMaxStorageSizeInBytes_ = sizeInBytes;
        shared->maxStorageSizeCompletionHandler_ = completionHandler;
        if (shared->channelGroup_) shared->channelGroup_->setMaxStorageSize(sizeInBytes, completionHandler);
      }
    }
  }
  if (!accepted && completionHandler) completionHandler(false);
}

void TLTelemetry::setUserId(const std::optional<std::string>& userId) {
  const auto shared = sharedInstance();
  std::optional<std::string> appSecret;
  std::optional<std::string> token;
  {
    std::lock_guard guard(monitor());
    if (!shared->configuredFromApplication_) {
      TLLogError(kTLLogTag, "Telemetry must be configured from application, libraries cannot call setUserId.");
      return;
    }
    appSecret = shared->appSecret_;
    token = shared->defaultTransmissionTargetToken_;
  }
  if (!appSecret && !token) {
    TLLogError(kTLLogTag, "Telemetry must be configured with a secret from application to call setUserId.");
    return;
  }
  if (userId) {
    if (appSecret && !TLUserIdContext::isUserIdValidForTelemetry(userId)) return;
    if (token && !TLUserIdContext::isUserIdValidForCollector(userId)) return;
  }
  TLUserIdContext::sharedInstance()->setUserId(userId);
}

bool TLTelemetry::isDebuggerAttached() {
  static const bool attached = [] {
    kernel::ProcessRecord record;
    if (!kernel::process_record(foundation::ProcessInfo::processInfo().processIdentifier(), &record)) {
      foundation::logMessage("[TLCrashes] ERROR: Checking for a running debugger via sysctl() failed.");
      return false;
    }
    return record.traced;
  }();
  return attached;
}

std::string TLTelemetry::sdkVersion() { return TLUtility::sdkVersion(); }
std::string TLTelemetry::logTag() { return kTLLogTag; }
std::string TLTelemetry::groupId() { return kTLLogTag; }

// ---- Start-up ---------------------------------------------------------------------------------

void TLTelemetry::start(const std::optional<std::string>& secretString,
                        const std::optional<std::vector<TLServiceClass>>& services, bool fromApplication) {
  const auto appSecret = TLUtility::appSecretFrom(secretString);
  const auto token = TLUtility::transmissionTargetTokenFrom(secretString);
  const bool configured = configureWithAppSecret(appSecret, token, fromApplication);
  if (services && configured) startServices(*services, appSecret, token, fromApplication);
}

bool TLTelemetry::configureWithAppSecret(const std::optional<std::string>& appSecret,
                                         const std::optional<std::string>& transmissionTargetToken,
                                         bool fromApplication) {
  std::lock_guard guard(monitor());
  if (fromApplication && configuredFromApplication_) {
    TLLogAssert(kTLLogTag, "Telemetry SDK has already been configured.");
    TLLogAssert(kTLLogTag, "Telemetry SDK configuration %@failed.", placeholderFor(fromApplication));
    return false;
  }
  if (!appSecret_) {
    appSecret_ = appSecret;
    TLSessionContext::sharedInstance()->setSessionId(std::nullopt);
  }
  if (!defaultTransmissionTargetToken_) defaultTransmissionTargetToken_ = transmissionTargetToken;
  // The user-id context exists before any log is made, so its history has this launch's entry.
  TLUserIdContext::sharedInstance();
  initializeChannelGroup();
  applyPipelineEnabledState(isEnabledInSettings());
  sdkConfigured_ = true;
  configuredFromApplication_ = configuredFromApplication_ || fromApplication;
  if (!TLLogger::isUserDefinedLogLevel() && TLUtility::currentAppEnvironment() == TLAppEnvironmentOther) {
    setLogLevel(TLLogLevelWarning);
  }
  TLLogInfo(kTLLogTag, "Telemetry SDK configured %@successfully.", placeholderFor(fromApplication));
  return true;
}

void TLTelemetry::initializeChannelGroup() {
  std::lock_guard guard(monitor());
  const foundation::UUID id = loadInstallId();
  if (!collectorChannelDelegate_) {
    collectorChannelDelegate_ =
        std::make_shared<TLCollectorChannelDelegate>(id, appSecret_ ? std::nullopt : logUrl_);
  }
  if (!channelGroup_) {
    channelGroup_ = TLChannelGroupDefault::create(id, logUrl_ ? *logUrl_ : defaultLogUrl());
    channelGroup_->addDelegate(collectorChannelDelegate_);
    if (requestedMaxStorageSizeInBytes_) {
      channelGroup_->setMaxStorageSize(*requestedMaxStorageSizeInBytes_, maxStorageSizeCompletionHandler_);
    }
  }
  channelGroup_->setAppSecret(appSecret_);
  if (!channelUnit_) {
    channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration(kTLLogTag));
  }
}

void TLTelemetry::applyPipelineEnabledState(bool isEnabled) {
  if (!isEnabled) {
    TLDeviceTracker::sharedInstance()->clearDevices();
    TLSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
    TLUserIdContext::sharedInstance()->clearUserIdHistory();
  }
  std::optional<std::vector<std::string>> waiting;
  {
    std::lock_guard guard(monitor());
    if (channelGroup_) channelGroup_->setEnabled(isEnabled, true);
    if (isEnabled) waiting.swap(startedServiceNames_);
  }
  if (waiting) sendStartServiceLog(*waiting);
}

void TLTelemetry::startServices(const std::vector<TLServiceClass>& services, const std::optional<std::string>& appSecret,
                                const std::optional<std::string>& transmissionTargetToken, bool fromApplication) {
  if (!sdkConfigured()) return;
  const std::vector<TLServiceClass> sorted = sortServices(services);
  std::vector<std::string> classNames;
  for (const auto& service : sorted) classNames.push_back(service.className());
  std::string joined;
  for (const auto& name : classNames) joined += (joined.empty() ? "" : ", ") + name;
  TLLogVerbose(kTLLogTag, "Start services %@ from %@", joined,
               fromApplication ? "an application" : "a library");
  std::vector<std::string> startedNames;
  for (const auto& service : sorted) {
    if (startService(service, appSecret, transmissionTargetToken, fromApplication)) {
      startedNames.push_back(service.serviceName());
    }
  }
  TLAuthTokenContext::sharedInstance()->finishInitialize();
  if (startedNames.empty()) {
    TLLogDebug(kTLLogTag, "No services have been started.");
    return;
  }
  if (fromApplication) sendStartServiceLog(startedNames);
}

std::vector<TLServiceClass> TLTelemetry::sortServices(const std::vector<TLServiceClass>& services) const {
  if (services.size() < 2) return services;
  std::vector<std::pair<std::int64_t, TLServiceClass>> ranked;
  for (const auto& service : services) {
    const auto instance = service.sharedInstance();
    ranked.emplace_back(instance ? instance->initializationPriority() : INT64_MIN, service);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<TLServiceClass> sorted;
  for (auto& entry : ranked) sorted.push_back(std::move(entry.second));
  return sorted;
}

bool TLTelemetry::startService(const TLServiceClass& service, const std::optional<std::string>& appSecret,
                               const std::optional<std::string>& transmissionTargetToken, bool fromApplication) {
  std::lock_guard guard(monitor());
  const auto instance = service.sharedInstance();
  if (!instance) {
    TLLogError(kTLLogTag, "Cannot start service %@. Provided value is nil or invalid.", service.className());
    return false;
  }
  if (!sdkConfigured_ || (fromApplication && !configuredFromApplication_)) {
    TLLogError(kTLLogTag, "Telemetry has not been configured so it couldn't start the service.");
    return false;
  }
  // A service is started once; a second start from the application is refused silently, whether
  // the service is enabled or not.
  if (fromApplication && instance->isStarted() && instance->isStartedFromApplication()) return false;
  if (instance->isAppSecretRequired() && (!appSecret || appSecret->empty())) {
    TLLogError(kTLLogTag, "Cannot start service %@. Telemetry was started without app secret, but the service requires it.",
               service.className());
    return false;
  }
  if (shouldDisable(service.serviceName())) {
    TLLogDebug(kTLLogTag, "Environment variable to disable service has been set; not starting service %@",
               service.className());
    return false;
  }
  if (!instance->isStarted()) {
    services_.push_back(instance);
    instance->startWithChannelGroup(channelGroup_, appSecret, transmissionTargetToken, fromApplication);
    if (instance->classIsEnabled() && !isEnabledInSettings()) {
      enabledStateUpdating_ = true;
      instance->classSetEnabled(false);
      enabledStateUpdating_ = false;
    }
    return true;
  }
  // Started by a library, disabled or not: the application's start takes it over rather than
  // starting it a second time (which would add a second unit for its group).
  if (fromApplication) instance->updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
  return true;
}

bool TLTelemetry::shouldDisable(const std::string& serviceName) {
  const auto value = environmentValue(kTLDisableVariable);
  if (!value) return false;
  for (const std::string& piece : foundation::componentsSeparatedByString(*value, ",")) {
    const std::string name = foundation::trim(piece);
    if (name == serviceName || name == kTLDisableAll) return true;
  }
  return false;
}

void TLTelemetry::sendStartServiceLog(const std::vector<std::string>& serviceNames) {
  std::lock_guard guard(monitor());
  if (isEnabledInSettings()) {
    auto log = std::make_shared<TLStartServiceLog>();
    log->setServices(serviceNames);
    if (channelUnit_) channelUnit_->enqueueItem(log, TLFlagsNormal);
    return;
  }
  if (!startedServiceNames_) startedServiceNames_.emplace();
  startedServiceNames_->insert(startedServiceNames_->end(), serviceNames.begin(), serviceNames.end());
}

void TLTelemetry::sendCustomPropertiesLog(const foundation::Dictionary& properties) {
  std::shared_ptr<TLChannelUnitProtocol> unit;
  {
    std::lock_guard guard(monitor());
    unit = channelUnit_;
  }
  if (!unit) return;
  auto log = std::make_shared<TLCustomPropertiesLog>();
  log->setProperties(properties);
  unit->enqueueItem(log, TLFlagsNormal);
}

bool TLTelemetry::canBeUsed() {
  std::lock_guard guard(monitor());
  if (sdkConfigured_) return true;
  TLLogError(kTLLogTag,
             "Telemetry SDK hasn't been configured. You need to call [TLTelemetry start:YOUR_APP_SECRET "
             "withServices:LIST_OF_SERVICES] first.");
  return false;
}

bool TLTelemetry::isEnabledInSettings() const {
  const foundation::Value stored = TLUserDefaults::shared().objectForKey(kTLTelemetryIsEnabledKey);
  return stored.isNull() ? true : stored.boolValue();
}

// ---- State ------------------------------------------------------------------------------------

std::optional<std::string> TLTelemetry::logUrl() const {
  std::lock_guard guard(monitor());
  return logUrl_;
}

std::vector<std::shared_ptr<TLServiceInternal>> TLTelemetry::services() const {
  std::lock_guard guard(monitor());
  return services_;
}

std::optional<std::vector<std::string>> TLTelemetry::startedServiceNames() const {
  std::lock_guard guard(monitor());
  return startedServiceNames_;
}
