#pragma once
// TLAnalytics is the telemetry service that records the user's actions as event logs and screens
// as page logs. The SDK entry starts it with the other services; it then owns two channel units,
// "Analytics" for normal logs and "Analytics_critical" for logs whose flags carry the critical
// bit (2), and, while it is enabled and started from the application, runs the session tracker and
// filters every event and page log before it is stored (see TLAnalytics+Validation.h). It keeps
// one transmission target per target token for events sent to the common-schema collector, and
// tells an optional application delegate about its logs going out.
//
// The application's interface is the static class operations (TLAnalytics::trackEvent("name")),
// which act on the shared instance. Their instance counterparts carry an "instance" prefix, as
// C++ cannot give a static and an instance operation one name and one parameter list.
//
// Locking: tracking, pause and resume hold the service's re-entrant monitor (monitor()), which the
// transmission targets take too. The session tracker's lock may be taken under it, never the other
// way round: the start-session logs the tracker hands over are enqueued without the monitor. The
// enable switch runs under the SDK entry's monitor, as the entry and the service base arrange.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Monitor.h"
#include "platform/foundation/Value.h"
#include "telemetry/analytics/Internals/Session/TLSessionTracker.h"
#include "telemetry/analytics/TLAnalyticsDelegate.h"
#include "telemetry/analytics/TLEventProperties.h"
#include "telemetry/analytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/TLServiceAbstract.h"

class TLAnalytics : public TLServiceAbstract,
                    public TLSessionTrackerDelegate,
                    public TLChannelDelegate,
                    public std::enable_shared_from_this<TLAnalytics> {
 public:
  // The group ids of the service's units and the common-schema units the core adds for them.
  static constexpr const char* kTLAnalyticsGroupId = "Analytics";
  static constexpr const char* kTLAnalyticsCriticalGroupId = "Analytics_critical";
  static constexpr const char* kTLAnalyticsCollectorGroupId = "Analytics/one";
  static constexpr const char* kTLAnalyticsCriticalCollectorGroupId = "Analytics_critical/one";
  // The bounds of the transmission interval, in seconds.
  static constexpr std::uint32_t kTLMinFlushInterval = 3;
  static constexpr std::uint32_t kTLMaxFlushInterval = 86400;

  // ---- Class operations: the application's interface --------------------------------------------
  // Each acts on the shared instance. Tracking does nothing, beyond the base's ERROR line, before
  // the SDK has started the service, and nothing at all while the service is disabled.

  // An event without properties, with normal persistence.
  static void trackEvent(const std::optional<std::string>& eventName);
  // An event with string properties (entries that hold no string are dropped), normal or with
  // `flags` (low byte 1 normal, 2 critical; anything else is taken as normal with a WARNING).
  static void trackEvent(const std::optional<std::string>& eventName, const foundation::Dictionary& properties);
  static void trackEvent(const std::optional<std::string>& eventName, const foundation::Dictionary& properties,
                         TLFlags flags);
  // An event with typed properties (null: none), normal or with `flags`.
  static void trackEvent(const std::optional<std::string>& eventName,
                         const std::shared_ptr<TLEventProperties>& properties);
  static void trackEvent(const std::optional<std::string>& eventName,
                         const std::shared_ptr<TLEventProperties>& properties, TLFlags flags);
  // The same for a transmission target (null: the default target, if any).
  static void trackEvent(const std::optional<std::string>& eventName,
                         const std::optional<foundation::Dictionary>& properties,
                         const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget, TLFlags flags);
  static void trackEvent(const std::optional<std::string>& eventName,
                         const std::shared_ptr<TLEventProperties>& properties,
                         const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget, TLFlags flags);
  // A page, without or with string properties.
  static void trackPage(const std::optional<std::string>& pageName);
  static void trackPage(const std::optional<std::string>& pageName, const foundation::Dictionary& properties);
  // Holds back, or releases, the sending of both units.
  static void pause();
  static void resume();
  static void setAutoPageTrackingEnabled(bool isEnabled);
  static bool isAutoPageTrackingEnabled();
  // The flush interval of the normal unit, from 3 to 86400 seconds; only before the service starts.
  static void setTransmissionInterval(std::uint32_t seconds);
  // The target of `token`, made on first request and kept.
  static std::shared_ptr<TLAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);
  static void pauseTransmissionTargetForToken(const std::string& token);
  static void resumeTransmissionTargetForToken(const std::string& token);
  static void setDelegate(std::shared_ptr<TLAnalyticsDelegate> delegate);
  // The service's enabled state (see TLServiceAbstract::classSetEnabled and classIsEnabled).
  static void setEnabled(bool isEnabled);
  static bool isEnabled();

  // The shared instance, made on first call. Never null; thread-safe.
  static std::shared_ptr<TLAnalytics> sharedInstance();
  // Drops the shared instance; the next sharedInstance() makes a new one. For tests.
  static void resetSharedInstance();
  // "Analytics" and "TelemetryAnalytics".
  static std::string serviceName();
  static std::string logTag();

  // ---- Instance ----------------------------------------------------------------------------------

  // A service that is not started, with a stopped session tracker whose delegate it becomes. Use
  // sharedInstance(); tests make their own.
  static std::shared_ptr<TLAnalytics> create();
  ~TLAnalytics() override;

  // The instance operations behind the class operations above.
  void instanceTrackEvent(const std::optional<std::string>& eventName,
                          const std::optional<foundation::Dictionary>& properties,
                          const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget, TLFlags flags);
  void instanceTrackEvent(const std::optional<std::string>& eventName,
                          const std::shared_ptr<TLEventProperties>& properties,
                          const std::shared_ptr<TLAnalyticsTransmissionTarget>& transmissionTarget, TLFlags flags);
  void instanceTrackPage(const std::optional<std::string>& pageName,
                         const std::optional<foundation::Dictionary>& properties);
  void instancePause();
  void instanceResume();
  void instanceSetTransmissionInterval(std::uint32_t seconds);
  std::shared_ptr<TLAnalyticsTransmissionTarget> instanceTransmissionTargetForToken(const std::string& token);
  void instancePauseTransmissionTargetForToken(const std::string& token);
  void instanceResumeTransmissionTargetForToken(const std::string& token);
  bool instanceIsAutoPageTrackingEnabled();
  void instanceSetAutoPageTrackingEnabled(bool isEnabled);
  std::shared_ptr<TLAnalyticsDelegate> instanceDelegate();
  void instanceSetDelegate(std::shared_ptr<TLAnalyticsDelegate> delegate);

  // ---- The service protocols ----------------------------------------------------------------------

  std::string groupId() const override { return kTLAnalyticsGroupId; }
  bool isAppSecretRequired() const override { return false; }
  // The normal unit's configuration: nothing until the start makes it from the flush interval.
  std::optional<TLChannelUnitConfiguration> channelUnitConfiguration() const override;
  // Makes the normal unit's configuration, runs the base start, makes the default target when a
  // token is given, then adds the critical unit.
  void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                             const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;
  // The base operation, then the default target for `transmissionTargetToken` when there is none.
  void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken) override;
  // The base operation, then the same switch on every target handed out by
  // transmissionTargetForToken.
  void setInstanceEnabled(bool isEnabled) override;
  // Both units on (or off, deleting their logs); when started from the application, also the
  // session tracker, the channel-group delegates, the pause and, when disabling, the session
  // history. An INFO line either way.
  void applyEnabledState(bool isEnabled) override;

  // ---- Session tracker and channel delegate -------------------------------------------------------

  // Enqueues the start-session log with normal persistence.
  void sessionTrackerProcessLog(TLSessionTracker& sessionTracker, const std::shared_ptr<TLLog>& log) override;
  // Validates and trims event and page logs; true drops one whose name is unusable.
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol& channelUnit, const std::shared_ptr<TLLog>& log) override;
  // Passed on to the delegate's event or page operation; other logs are ignored.
  void channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                const std::optional<foundation::Error>& error) override;

  // ---- Used inside the subsystem ------------------------------------------------------------------

  // Enqueues `log` on the critical unit when `flags` carry bit 2, else on the normal unit, with the
  // flags unchanged; dropped when that unit does not exist yet.
  void sendLog(const std::shared_ptr<TLLog>& log, TLFlags flags);
  // The entries of `properties` whose value is a string; the others are dropped with a WARNING.
  static foundation::Dictionary removeInvalidProperties(const std::optional<foundation::Dictionary>& properties);
  // A new top-level target for `token` on the service's channel group; not kept.
  std::shared_ptr<TLAnalyticsTransmissionTarget> createTransmissionTargetForToken(const std::string& token);
  // The common-schema units of the normal and critical groups, looked up on first use; null while
  // the group has none.
  std::shared_ptr<TLChannelUnitProtocol> collectorChannelUnit();
  std::shared_ptr<TLChannelUnitProtocol> collectorCriticalChannelUnit();

  // ---- State ---------------------------------------------------------------------------------------

  // The service's lock, taken by tracking and by the transmission targets.
  foundation::Monitor& monitor() { return monitor_; }
  std::shared_ptr<TLChannelUnitProtocol> criticalChannelUnit();
  const std::shared_ptr<TLSessionTracker>& sessionTracker() const { return sessionTracker_; }
  std::uint64_t flushInterval();
  std::shared_ptr<TLAnalyticsTransmissionTarget> defaultTransmissionTarget();
  // The targets handed out, by token.
  std::map<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>> transmissionTargets();

 protected:
  TLAnalytics();

 private:
  // Runs `body` on the delegate when one is set and `log` is an event (or page) log.
  template <class EventBody, class PageBody>
  void notifyDelegate(const std::shared_ptr<TLLog>& log, EventBody eventBody, PageBody pageBody);

  foundation::Monitor monitor_;
  const std::shared_ptr<TLSessionTracker> sessionTracker_;

  // Guarded by monitor_.
  bool autoPageTrackingEnabled_ = false;
  std::optional<TLChannelUnitConfiguration> channelUnitConfiguration_;
  std::uint64_t flushInterval_ = kTLMinFlushInterval;
  std::map<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>> transmissionTargets_;
  std::shared_ptr<TLAnalyticsTransmissionTarget> defaultTransmissionTarget_;
  std::shared_ptr<TLChannelUnitProtocol> collectorChannelUnit_;
  std::shared_ptr<TLChannelUnitProtocol> collectorCriticalChannelUnit_;

  // Read on the channel group's queue for every log sent: a lock of its own, so that sending never
  // waits for tracking.
  std::mutex delegateMutex_;
  std::shared_ptr<TLAnalyticsDelegate> delegate_;

  // Written during the start; read by sendLog, which the session tracker calls without monitor_.
  // The tracker only starts once the units exist, so a plain mutex around the pointer suffices.
  std::mutex unitsMutex_;
  std::shared_ptr<TLChannelUnitProtocol> criticalChannelUnit_;
};
