#pragma once
// TLTelemetry is the entry of the telemetry SDK. The application calls start() once at launch with
// its secret string and its service classes; the entry then configures the SDK once (secret,
// default target token, the one channel group with its store and ingestion, its own channel unit
// "Telemetry", the persisted enabled state), starts the services by descending priority and
// announces them in one start-service log. Afterwards it answers the SDK-wide questions and
// settings: enabled state, install id, log level and handler, log URL, storage size, user id,
// custom properties, wrapper SDK and country code.
//
// Every refusal is logged under the tag "Telemetry" and changes nothing; no operation throws.
//
// Settings: "TLTelemetryIsEnabled" (absent: enabled) and "TLInstallId" (the install id's text).
// Environment: "TELEMETRY_DISABLE" (service names separated by ",", or "All", that are not
// started) and "RUNNING_IN_TELEMETRY" ("1": running in the vendor's test cloud).
//
// Thread-safety: every class operation is safe from any thread. The entry's work runs under one
// process-wide re-entrant monitor (monitor()), which the services' class operations hold too.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Monitor.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"
#include "telemetry/core/TLLogger.h"
#include "telemetry/core/TLServiceClass.h"

class TLCollectorChannelDelegate;
class TLCustomProperties;
class TLWrapperSdk;

class TLTelemetry {
 public:
  // Settings keys.
  static constexpr const char* kTLTelemetryIsEnabledKey = "TLTelemetryIsEnabled";
  static constexpr const char* kTLInstallIdKey = "TLInstallId";
  // Environment variables.
  static constexpr const char* kTLDisableVariable = "TELEMETRY_DISABLE";
  static constexpr const char* kTLDisableAll = "All";
  static constexpr const char* kTLRunningInTestCloudVariable = "RUNNING_IN_TELEMETRY";
  // The smallest storage size accepted, in bytes (24 KiB).
  static constexpr std::int64_t kMinAcceptedMaxStorageSizeInBytes = 24 * 1024;

  // The shared instance, made once. Never null; thread-safe.
  static std::shared_ptr<TLTelemetry> sharedInstance();
  // Drops the shared instance; the next sharedInstance() makes a new, unconfigured one. The old
  // one's channel group and services live on while anybody holds them. For tests.
  static void resetSharedInstance();
  // The monitor of the entry and of the services' class operations. Lives for the process.
  static foundation::Monitor& monitor();

  // ---- Start ---------------------------------------------------------------------------------------

  // Splits `secretString` ("appsecret" or "appsecret={...};target={...}" forms) into the app
  // secret and the default target token, configures the SDK from the application and starts
  // `services`. A second call from the application logs two ASSERT lines and does nothing.
  static void start(const std::optional<std::string>& secretString, const std::vector<TLServiceClass>& services);
  // The same without a secret.
  static void startWithServices(const std::vector<TLServiceClass>& services);
  // The same without a secret, from a library: sends no start-service log and does not count as
  // configured from the application.
  static void startFromLibraryWithServices(const std::vector<TLServiceClass>& services);
  // Configures from the application without starting services.
  static void configureWithAppSecret(const std::optional<std::string>& secretString);
  static void configure();
  // Starts one more service from the application with the stored secret and token; nothing for an
  // absent class.
  static void startService(const std::optional<TLServiceClass>& service);

  // ---- Questions and settings ------------------------------------------------------------------------

  // Whether the application has configured the SDK.
  static bool isConfigured();
  static bool isRunningInTelemetryTestCloud();
  // Stores the ingestion's base URL; once configured, also re-points the ingestion (with a
  // secret) or the collector (without one).
  static void setLogUrl(const std::string& logUrl);
  // Enables or disables the whole SDK and every started service; disabling deletes every stored
  // log and the device, session and user-id histories. Persisted. Needs a configured SDK.
  static void setEnabled(bool isEnabled);
  // The persisted state when the SDK is configured; else false with an ERROR line.
  static bool isEnabled();
  // Whether the application delegate forwarder is on (its information key).
  static bool isAppDelegateForwarderEnabled();
  // The installation id: read from "TLInstallId", or made and stored when absent or damaged.
  static foundation::UUID installId();
  static TLLogLevel logLevel();
  // Sets the logger's level, then writes the delegate forwarder's buffered traces.
  static void setLogLevel(TLLogLevel logLevel);
  static void setLogHandler(TLLogHandler logHandler);
  static void setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk);
  static void setCountryCode(const std::optional<std::string>& countryCode);
  // Sends the properties in one custom-properties log on the entry's unit; a null or empty set is
  // refused with an ERROR line, and before configuration the log is dropped.
  static void setCustomProperties(const std::shared_ptr<TLCustomProperties>& customProperties);
  // Limits the log store to `sizeInBytes` (at least 24 KiB), once per launch and only before the
  // application configures the SDK. `completionHandler` (may be empty) hears false at once for a
  // refused request; for an accepted one the channel group tells later whether the size applied.
  static void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler);
  // Sets (or, absent, clears) the user id of later logs. Needs the application's configuration
  // with a secret or a target token, and an id valid for each.
  static void setUserId(const std::optional<std::string>& userId);
  // Whether a debugger traces this process; computed once. False when that cannot be told.
  static bool isDebuggerAttached();
  static std::string sdkVersion();
  // "Telemetry", both.
  static std::string logTag();
  static std::string groupId();

  // ---- Instance operations used inside the SDK ---------------------------------------------------------

  TLTelemetry() = default;
  TLTelemetry(const TLTelemetry&) = delete;
  TLTelemetry& operator=(const TLTelemetry&) = delete;

  // Splits the secret string, configures, and starts `services` when given and configured.
  void start(const std::optional<std::string>& secretString, const std::optional<std::vector<TLServiceClass>>& services,
             bool fromApplication);
  // Configures the SDK; false (with ASSERT lines) for a second configuration from the application.
  bool configureWithAppSecret(const std::optional<std::string>& appSecret,
                              const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
  // Starts each service by priority, finishes the auth-token context and sends the start-service
  // log (from the application). Nothing unless configured.
  void startServices(const std::vector<TLServiceClass>& services, const std::optional<std::string>& appSecret,
                     const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
  // `services` by descending priority of their shared instances; equal priorities keep no
  // particular order. Non-services sort last.
  std::vector<TLServiceClass> sortServices(const std::vector<TLServiceClass>& services) const;
  // Starts (or reconfigures) one service; true when it was started or reconfigured.
  bool startService(const TLServiceClass& service, const std::optional<std::string>& appSecret,
                    const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
  // Whether "TELEMETRY_DISABLE" names `serviceName` or "All".
  static bool shouldDisable(const std::string& serviceName);
  // Makes the collector delegate, the channel group and the entry's unit when missing, and hands
  // the group the stored secret.
  void initializeChannelGroup();
  // Applies the SDK's enabled state to the channel group (disabling deletes every log and clears
  // the histories) and, when enabling, sends the start-service names that waited.
  void applyPipelineEnabledState(bool isEnabled);
  // Enqueues a start-service log naming `serviceNames`, or keeps them until the SDK is enabled.
  void sendStartServiceLog(const std::vector<std::string>& serviceNames);
  // Enqueues a custom-properties log with `properties` on the entry's unit (dropped without one).
  void sendCustomPropertiesLog(const foundation::Dictionary& properties);
  // Whether the SDK is configured; logs the not-configured ERROR when not.
  bool canBeUsed();
  // The persisted enabled state; true when absent.
  bool isEnabledInSettings() const;

  // ---- State ----------------------------------------------------------------------------------------
  // Read under monitor() where the value may change meanwhile.

  bool sdkConfigured() const { return sdkConfigured_; }
  bool configuredFromApplication() const { return configuredFromApplication_; }
  bool enabledStateUpdating() const { return enabledStateUpdating_; }
  std::optional<std::string> logUrl() const;
  std::optional<std::string> appSecret() const { return appSecret_; }
  std::optional<std::string> defaultTransmissionTargetToken() const { return defaultTransmissionTargetToken_; }
  std::shared_ptr<TLChannelGroupProtocol> channelGroup() const { return channelGroup_; }
  std::shared_ptr<TLChannelUnitProtocol> channelUnit() const { return channelUnit_; }
  std::shared_ptr<TLCollectorChannelDelegate> collectorChannelDelegate() const { return collectorChannelDelegate_; }
  // Every service started so far, in start order.
  std::vector<std::shared_ptr<TLServiceInternal>> services() const;
  // Names of started services waiting for the SDK to be enabled; nothing when none wait.
  std::optional<std::vector<std::string>> startedServiceNames() const;

 private:
  // The install id, loaded or made on first use.
  foundation::UUID loadInstallId();

  bool sdkConfigured_ = false;
  bool configuredFromApplication_ = false;
  bool enabledStateUpdating_ = false;
  bool setMaxStorageSizeHasBeenCalled_ = false;
  std::optional<foundation::UUID> installId_;
  std::optional<std::string> logUrl_;
  std::shared_ptr<TLChannelUnitProtocol> channelUnit_;
  std::shared_ptr<TLCollectorChannelDelegate> collectorChannelDelegate_;
  std::shared_ptr<TLChannelGroupProtocol> channelGroup_;
  std::vector<std::shared_ptr<TLServiceInternal>> services_;
  std::optional<std::vector<std::string>> startedServiceNames_;
  std::optional<std::string> appSecret_;
  std::optional<std::string> defaultTransmissionTargetToken_;
  std::optional<std::int64_t> requestedMaxStorageSizeInBytes_;
  std::function<void(bool)> maxStorageSizeCompletionHandler_;
};
