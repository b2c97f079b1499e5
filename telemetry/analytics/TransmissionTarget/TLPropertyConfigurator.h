#pragma once
// TLPropertyConfigurator belongs to one transmission target. Through it the application overrides,
// for the common-schema logs of that target and of its descendants, the application version, name
// and locale and the user id; it keeps event properties added to every event of the target; and
// it can opt in to sending the device id. As a channel delegate it applies the overrides while the
// channel prepares each common-schema log tagged with its target: for each field the nearest
// target that sets it wins, and the device id is this target's own (cleared when it did not opt
// in). The target merges the event properties in when an event is tracked.
//
// Thread-safe: the fields are guarded by the configurator's own lock, which the preparation reads
// under; the event properties by the analytics service's lock, as tracking is.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "telemetry/analytics/TLEventProperties.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"

class TLAnalyticsTransmissionTarget;

class TLPropertyConfigurator : public TLChannelDelegate {
 public:
  // The prefix of the device id.
  static constexpr const char* kDeviceIdPrefix = "u:";

  // A configurator of `transmissionTarget`, held weakly; no overrides, no event properties, no
  // device id.
  explicit TLPropertyConfigurator(const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget);
  TLPropertyConfigurator(const TLPropertyConfigurator&) = delete;
  TLPropertyConfigurator& operator=(const TLPropertyConfigurator&) = delete;

  // Store the value as given; an absent value clears the override.
  void setAppVersion(const std::optional<std::string>& appVersion);
  void setAppName(const std::optional<std::string>& appName);
  void setAppLocale(const std::optional<std::string>& appLocale);
  // Stores the id with the collector's "c:" prefix when it has none; an absent id clears it. An id the
  // collector refuses (empty, "c:" alone, another prefix) leaves the stored one, with the ERROR
  // line of the check.
  void setUserId(const std::optional<std::string>& userId);

  std::optional<std::string> appVersion() const;
  std::optional<std::string> appName() const;
  std::optional<std::string> appLocale() const;
  std::optional<std::string> userId() const;
  // The device id to send, or nothing until collectDeviceId found one.
  std::optional<std::string> deviceId() const;
  // The owning target, or null once it is gone.
  std::shared_ptr<TLAnalyticsTransmissionTarget> transmissionTarget() const { return transmissionTarget_.lock(); }
  // The event properties added to every event of the target. Shared; change them through the
  // setters below.
  const std::shared_ptr<TLEventProperties>& eventProperties() const { return eventProperties_; }

  // Add or replace one event property, under the analytics service's lock; invalid keys and values
  // are refused by the property bag with its ERROR line.
  void setEventPropertyString(const std::optional<std::string>& value, const std::optional<std::string>& key);
  void setEventPropertyDouble(double value, const std::optional<std::string>& key);
  void setEventPropertyInt64(std::int64_t value, const std::optional<std::string>& key);
  void setEventPropertyBool(bool value, const std::optional<std::string>& key);
  void setEventPropertyDate(const std::optional<foundation::Date>& value, const std::optional<std::string>& key);
  // Removes the property `key`, under the analytics service's lock; an unknown key changes
  // nothing. Without a key, logs an ERROR and changes nothing.
  void removeEventPropertyForKey(const std::optional<std::string>& key);

  // Opts in to sending the device id: deviceId becomes getDeviceIdentifier().
  void collectDeviceId();
  // "u:" and this machine's platform UUID for this application, read anew at each call; nothing
  // when the machine has no usable id.
  static std::optional<std::string> getDeviceIdentifier();

  // Copies into `destination` each of this configurator's event properties whose key it lacks,
  // under the analytics service's lock.
  void mergeTypedPropertiesWith(TLEventProperties& destination) const;

  // Applies the overrides to a common-schema log tagged with this configurator's target while
  // that target exists and is enabled; leaves every other log alone.
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;

 private:
  const std::weak_ptr<TLAnalyticsTransmissionTarget> transmissionTarget_;
  const std::shared_ptr<TLEventProperties> eventProperties_ = std::make_shared<TLEventProperties>();
  mutable std::mutex mutex_;
  std::optional<std::string> appVersion_;
  std::optional<std::string> appName_;
  std::optional<std::string> appLocale_;
  std::optional<std::string> userId_;
  std::optional<std::string> deviceId_;
};
