#pragma once
// The contract between the SDK entry (TLTelemetry) and a telemetry service: TLServiceCommon is
// what every service does towards its channel group and its enabled state; TLServiceInternal adds
// what the entry needs to start a service and to switch it. TLServiceAbstract implements both;
// concrete services derive from it.
//
// The platform's class operations of a service (+isEnabled, +setEnabled:) are answered here by
// instance operations run on the service's shared instance: classIsEnabled and classSetEnabled.
// The instance's own state is isInstanceEnabled / setInstanceEnabled.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitConfiguration.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"

class TLServiceCommon {
 public:
  virtual ~TLServiceCommon() = default;

  // Switches the service's pipeline on or off; off deletes its pending logs.
  virtual void applyEnabledState(bool isEnabled) = 0;
  // Whether the SDK is configured and this service started; logs an ERROR when not.
  virtual bool canBeUsed() = 0;
  // Starts the service on `channelGroup` with the secret and token (either may be absent).
  virtual void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                     const std::optional<std::string>& appSecret,
                                     const std::optional<std::string>& transmissionTargetToken,
                                     bool fromApplication) = 0;
  // Takes a new secret and token when the application starts a service a library started first.
  virtual void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                const std::optional<std::string>& transmissionTargetToken) = 0;
  virtual bool isAppSecretRequired() const = 0;
  virtual bool isStartedFromApplication() const = 0;
  // Whether the service has been started (by an application or a library).
  virtual bool isStarted() const = 0;
  // Enabled and started.
  virtual bool isAvailable() = 0;
  // The service's own persisted enabled state, and its change (-isEnabled, -setEnabled:).
  virtual bool isInstanceEnabled() = 0;
  virtual void setInstanceEnabled(bool isEnabled) = 0;

  virtual std::shared_ptr<TLChannelGroupProtocol> channelGroup() const = 0;
  virtual void setChannelGroup(std::shared_ptr<TLChannelGroupProtocol> channelGroup) = 0;
  virtual std::shared_ptr<TLChannelUnitProtocol> channelUnit() const = 0;
  virtual void setChannelUnit(std::shared_ptr<TLChannelUnitProtocol> channelUnit) = 0;
  virtual std::optional<std::string> appSecret() const = 0;
  virtual void setAppSecret(std::optional<std::string> appSecret) = 0;
  virtual std::optional<std::string> defaultTransmissionTargetToken() const = 0;
  virtual void setDefaultTransmissionTargetToken(std::optional<std::string> token) = 0;
  // Higher starts first.
  virtual std::int64_t initializationPriority() const = 0;

  // The configuration of the service's channel unit; nothing (the default) gives it no unit.
  virtual std::optional<TLChannelUnitConfiguration> channelUnitConfiguration() const { return std::nullopt; }
};

class TLServiceInternal : public TLServiceCommon {
 public:
  // The group id of the service's logs and of its enabled-state key ("Analytics", "Crashes").
  virtual std::string groupId() const = 0;
  // The class operation +isEnabled, on the shared instance: the instance's state when it can be
  // used, else false (with canBeUsed's ERROR).
  virtual bool classIsEnabled() = 0;
  // The class operation +setEnabled:, on the shared instance: refused with an ERROR when the
  // service cannot be used or the whole SDK is disabled (unless the entry itself is switching).
  virtual void classSetEnabled(bool isEnabled) = 0;
};
