#pragma once
// TLAnalyticsTransmissionTarget stands for one target token of the common-schema collector: events
// tracked for it go out under that token. It keeps its enabled state in the SDK's settings under
// "<analytics enabled key>/<target key>", so targets whose tokens share a target key share it; a
// missing value means enabled, and a target made while the level above it is disabled is stored
// as disabled.
//
// This is the part the analytics service itself relies on: the token, the enabled state and the
// pause of its logs. isEnabled and setEnabled take the analytics service's lock, which serialises
// them with tracking.
#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"

class TLAnalyticsTransmissionTarget : public foundation::Object {
 public:
  // A target for `token` under `parentTarget` (null: a top-level target, whose level above is the
  // analytics service), whose logs travel through `channelGroup`.
  TLAnalyticsTransmissionTarget(std::string token, std::shared_ptr<TLAnalyticsTransmissionTarget> parentTarget,
                                std::shared_ptr<TLChannelGroupProtocol> channelGroup);
  TLAnalyticsTransmissionTarget(const TLAnalyticsTransmissionTarget&) = delete;
  TLAnalyticsTransmissionTarget& operator=(const TLAnalyticsTransmissionTarget&) = delete;

  // The stored state; true when nothing is stored.
  bool isEnabled();
  // When the value differs from the stored one: enabling while the level above is disabled is
  // refused with a WARNING line; otherwise the value is stored, and enabling also resumes sending.
  void setEnabled(bool isEnabled);
  // Whether the level above is enabled: the parent, or the analytics service for a top-level
  // target.
  bool isImmediateParent();
  // Holds back (or releases) this token's stored logs on both common-schema units of the analytics
  // service; refused with an ERROR line while the target is disabled.
  void pause();
  void resume();

  const std::string& transmissionTargetToken() const { return transmissionTargetToken_; }
  const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget() const { return parentTarget_; }
  const std::shared_ptr<TLChannelGroupProtocol>& channelGroup() const { return channelGroup_; }
  const std::string& isEnabledKey() const { return isEnabledKey_; }

 private:
  const std::string transmissionTargetToken_;
  const std::shared_ptr<TLAnalyticsTransmissionTarget> parentTarget_;
  const std::shared_ptr<TLChannelGroupProtocol> channelGroup_;
  const std::string isEnabledKey_;
};
