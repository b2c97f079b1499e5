#pragma once
// TLAnalyticsTransmissionTarget stands for one target token of the common-schema collector:
// events tracked on it go to the collector under that token. Targets form a tree: the analytics
// service hands out one top-level target per token, and any target hands out children for further
// tokens. Each target has its own enabled state, kept in the settings and tied to the level above
// (a target cannot be enabled under a disabled parent or service, and disabling a target disables
// its subtree); its own property configurator, whose overrides and event properties its
// descendants inherit; and a share in the one authentication provider, which puts a ticket key on
// the target's common-schema logs.
//
// Targets live as long as whoever holds them: their parent (children are kept), the analytics
// service (top-level ones), and the application. A child holds its parent weakly, so that the tree
// is no cycle; it stays whole while its top-level target is held, and a child whose parent is gone
// inherits nothing more and counts as under a disabled level. The channel group holds a target and
// its configurator as delegates, weakly.
//
// Thread-safe. The enabled state is read and changed under the analytics service's lock, so enable
// switches are serialised with tracking; the shared provider is guarded by a class-wide lock.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"
#include "telemetry/analytics/TLEventProperties.h"
#include "telemetry/analytics/TransmissionTarget/TLAnalyticsAuthenticationProvider.h"
#include "telemetry/analytics/TransmissionTarget/TLPropertyConfigurator.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/TLConstants.h"

class TLAnalyticsTransmissionTarget : public foundation::Object,
                                      public TLChannelDelegate,
                                      public std::enable_shared_from_this<TLAnalyticsTransmissionTarget> {
 public:
  // A target for `token` under `parentTarget` (null: top level, under the analytics service),
  // whose logs go through `channelGroup`. Stored as disabled when the level above is disabled.
  // Registers its configurator and itself as delegates of the group.
  static std::shared_ptr<TLAnalyticsTransmissionTarget> create(
      const std::string& token, const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget,
      const std::shared_ptr<TLChannelGroupProtocol>& channelGroup);

  TLAnalyticsTransmissionTarget(const TLAnalyticsTransmissionTarget&) = delete;
  TLAnalyticsTransmissionTarget& operator=(const TLAnalyticsTransmissionTarget&) = delete;

  // Track an event on this target, with normal persistence unless `flags` say otherwise. String
  // properties become string properties of the event (entries that hold no string are skipped).
  // The event carries the event properties configured on this target and its ancestors (the
  // nearest wins), overridden by those passed; with none anywhere, it carries none. The analytics
  // service drops the event, with an ERROR line, when this target is disabled.
  void trackEvent(const std::string& eventName);
  void trackEvent(const std::string& eventName, const std::optional<foundation::Dictionary>& properties,
                  TLFlags flags = TLFlagsNormal);
  void trackEvent(const std::string& eventName, const std::shared_ptr<TLEventProperties>& properties,
                  TLFlags flags = TLFlagsNormal);

  // The child for `token`, made on the first call; every later call answers the same one.
  std::shared_ptr<TLAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);

  // The stored state; true when nothing is stored.
  bool isEnabled();
  // Stores the state when it changes, then passes it to every child. Enabling under a disabled
  // level above logs a WARNING and changes nothing, children included; a target re-enabled
  // resumes sending.
  void setEnabled(bool isEnabled);
  // Holds back, or releases, the sending of this token's logs; on a disabled target, logs an
  // ERROR and does nothing.
  void pause();
  void resume();
  // Whether the level above is enabled: the parent (false once it is gone), or for a top-level
  // target the analytics service.
  bool isImmediateParent();

  // Puts the shared provider's ticket key hash on a common-schema log of this target's token
  // while this target is enabled, and lets the provider check its token's expiry.
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;

  const std::shared_ptr<TLPropertyConfigurator>& propertyConfigurator() const { return propertyConfigurator_; }
  // The parent; null for a top-level target, or once the parent is gone.
  std::shared_ptr<TLAnalyticsTransmissionTarget> parentTarget() const { return parentTarget_.lock(); }
  bool isTopLevel() const { return isTopLevel_; }
  // A copy of the children, token and target, in the order they were made.
  std::vector<std::pair<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>>> childTransmissionTargets() const;
  // "<the analytics service's enabled key>/<the token's target key>": tokens sharing a target key
  // share their enabled state.
  const std::string& isEnabledKey() const { return isEnabledKey_; }
  const std::shared_ptr<TLChannelGroupProtocol>& channelGroup() const { return channelGroup_; }
  const std::string& transmissionTargetToken() const { return transmissionTargetToken_; }

  // Makes `provider` the one shared by every target and asks it for its first token at once;
  // without a provider, logs an ERROR and keeps the current one.
  static void addAuthenticationProvider(const std::shared_ptr<TLAnalyticsAuthenticationProvider>& provider);
  static std::shared_ptr<TLAnalyticsAuthenticationProvider> authenticationProvider();
  static void setAuthenticationProvider(const std::shared_ptr<TLAnalyticsAuthenticationProvider>& provider);

 private:
  struct Passkey {};

 public:
  // Use create().
  TLAnalyticsTransmissionTarget(Passkey, const std::string& token,
                                const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget,
                                const std::shared_ptr<TLChannelGroupProtocol>& channelGroup);

 private:
  std::shared_ptr<TLPropertyConfigurator> propertyConfigurator_;
  const std::weak_ptr<TLAnalyticsTransmissionTarget> parentTarget_;
  const bool isTopLevel_;
  const std::string isEnabledKey_;
  const std::shared_ptr<TLChannelGroupProtocol> channelGroup_;
  const std::string transmissionTargetToken_;

  mutable std::mutex childrenMutex_;
  std::vector<std::pair<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>>> children_;
};
