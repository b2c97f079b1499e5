#pragma once
// TLServiceAbstract is the base of every telemetry service: it keeps the service's enabled state
// in the settings under "kTL<groupId>IsEnabledKey" (absent means enabled), its channel group and
// channel unit, the secret and token it was started with, and whether it was started, and by the
// application. Concrete services (the analytics and crash services) derive from it, provide
// groupId() and usually channelUnitConfiguration(), and call the base from their overrides of
// applyEnabledState, startWithChannelGroup and updateConfigurationWithAppSecret.
//
// Locking: the class operations (classIsEnabled, classSetEnabled) hold the SDK's monitor, the one
// TLTelemetry holds for its own work (TLTelemetry::monitor()), so the entry and a service never
// wait for each other's locks in opposite orders. The instance operations take no lock; they run
// under that monitor when the entry or the class operations call them.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telemetry/core/TLServiceInternal.h"

class TLServiceAbstract : public TLServiceInternal {
 public:
  // The format of the settings key of a service's enabled state; "%@" is the group id.
  static constexpr const char* kIsEnabledKeyFormat = "kTL%@IsEnabledKey";
  // The defaults a subclass may override.
  static constexpr std::int64_t kDefaultInitializationPriority = 500;

  TLServiceAbstract() = default;
  ~TLServiceAbstract() override = default;
  TLServiceAbstract(const TLServiceAbstract&) = delete;
  TLServiceAbstract& operator=(const TLServiceAbstract&) = delete;

  // ---- TLServiceCommon ---------------------------------------------------------------------------

  // Enables or disables the service's channel unit, with deletion when disabling; nothing without
  // a unit.
  void applyEnabledState(bool isEnabled) override;
  // True when the SDK is configured (from an application or a library) and this service started;
  // else logs "<name> service hasn't been started. ..." at ERROR and answers false.
  bool canBeUsed() override;
  // Keeps the flag, group, secret and token; marks the service started; adds the unit of
  // channelUnitConfiguration() to the group (none without one); applies the enabled state when
  // enabled.
  void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                             const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken,
                             bool fromApplication) override;
  // Marks the service started from the application, replaces secret and token (absent included)
  // and applies the enabled state when enabled.
  void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken) override;
  // True unless overridden.
  bool isAppSecretRequired() const override { return true; }
  bool isStartedFromApplication() const override { return startedFromApplication_; }
  bool isStarted() const override { return started_; }
  bool isAvailable() override { return isInstanceEnabled() && isStarted(); }
  // The persisted state; true when absent.
  bool isInstanceEnabled() override;
  // When the request differs from the persisted state: applies it, then stores it.
  void setInstanceEnabled(bool isEnabled) override;

  std::shared_ptr<TLChannelGroupProtocol> channelGroup() const override { return channelGroup_; }
  void setChannelGroup(std::shared_ptr<TLChannelGroupProtocol> channelGroup) override {
    channelGroup_ = std::move(channelGroup);
  }
  std::shared_ptr<TLChannelUnitProtocol> channelUnit() const override { return channelUnit_; }
  void setChannelUnit(std::shared_ptr<TLChannelUnitProtocol> channelUnit) override {
    channelUnit_ = std::move(channelUnit);
  }
  std::optional<std::string> appSecret() const override { return appSecret_; }
  void setAppSecret(std::optional<std::string> appSecret) override { appSecret_ = std::move(appSecret); }
  std::optional<std::string> defaultTransmissionTargetToken() const override { return defaultTransmissionTargetToken_; }
  void setDefaultTransmissionTargetToken(std::optional<std::string> token) override {
    defaultTransmissionTargetToken_ = std::move(token);
  }
  // 500 unless overridden.
  std::int64_t initializationPriority() const override { return kDefaultInitializationPriority; }

  // ---- TLServiceInternal -------------------------------------------------------------------------

  // Under the SDK's monitor: isInstanceEnabled() when canBeUsed(), else false.
  bool classIsEnabled() override;
  // Under the SDK's monitor: nothing when canBeUsed() fails; when the whole SDK is disabled and
  // the entry is not switching services itself, logs "The SDK is disabled. Re-enable the whole
  // SDK from Telemetry first before enabling <name> service." at ERROR and changes nothing;
  // otherwise setInstanceEnabled(isEnabled).
  void classSetEnabled(bool isEnabled) override;

  // ---- State -------------------------------------------------------------------------------------

  // "kTL<groupId>IsEnabledKey". Made from groupId() at each call, since a base class cannot ask
  // its subclass while it is being constructed.
  std::string isEnabledKey() const;
  // The class name without its first two characters ("Analytics" for TLAnalytics), as the
  // service's error lines name it.
  std::string shortClassName() const;

 private:
  bool startedFromApplication_ = false;
  bool started_ = false;
  std::shared_ptr<TLChannelGroupProtocol> channelGroup_;
  std::shared_ptr<TLChannelUnitProtocol> channelUnit_;
  std::optional<std::string> appSecret_;
  std::optional<std::string> defaultTransmissionTargetToken_;
};
