#pragma once
// TLChannelDelegate is how services follow the logs of a channel: they complete logs before they
// are queued, filter them before they are stored, and hear when they are stored, sent, delivered
// or failed, and when a channel is paused, resumed, enabled or disabled. Every operation is
// optional: the defaults do nothing (and filter nothing).
//
// The channel argument is the unit the log belongs to, or the group when the group itself acts.
// channelPrepareLog and channelDidPrepareLog run on the thread that enqueued the log, before the
// enqueue returns; channelGroupDidAddChannelUnit on the thread that added the unit; every other
// callback on the channel group's serial queue. None runs under a lock of the channel.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "telemetry/core/Internals/Channel/TLChannelProtocol.h"
#include "telemetry/core/Internals/Model/TLLog.h"
#include "telemetry/core/TLConstants.h"

class TLChannelGroupProtocol;
class TLChannelUnitProtocol;

class TLChannelDelegate {
 public:
  virtual ~TLChannelDelegate() = default;

  // The group made `channelUnit`.
  virtual void channelGroupDidAddChannelUnit(TLChannelGroupProtocol& /*channelGroup*/,
                                             const std::shared_ptr<TLChannelUnitProtocol>& /*channelUnit*/) {}
  // `log` is about to be queued; the delegate may complete it (session id, extensions, tickets).
  virtual void channelPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/) {}
  // `log` is prepared and known from now on by `internalId`; `flags` are the enqueue's.
  virtual void channelDidPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/,
                                    const std::string& /*internalId*/, TLFlags /*flags*/) {}
  // The unit is done with the log of `internalId`: stored, filtered, refused or discarded. Exactly
  // once for every log that was prepared.
  virtual void channelDidCompleteEnqueueingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/,
                                               const std::string& /*internalId*/) {}
  // `log` is about to be sent, or is about to be failed without a send.
  virtual void channelWillSendLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/) {}
  // The batch of `log` was accepted.
  virtual void channelDidSucceedSendingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/) {}
  // The batch of `log` failed, or the log was refused or deleted; `error` says why when known.
  virtual void channelDidFailSendingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& /*log*/,
                                        const std::optional<foundation::Error>& /*error*/) {}
  // The channel was enabled or disabled (with deletion or not).
  virtual void channelDidSetEnabled(TLChannelProtocol& /*channel*/, bool /*isEnabled*/,
                                    bool /*deleteDataOnDisabled*/) {}
  // `identifyingObject` started or stopped holding a pause of the channel.
  virtual void channelDidPauseWithIdentifyingObject(TLChannelProtocol& /*channel*/,
                                                    const TLIdentifyingObject& /*identifyingObject*/) {}
  virtual void channelDidResumeWithIdentifyingObject(TLChannelProtocol& /*channel*/,
                                                     const TLIdentifyingObject& /*identifyingObject*/) {}
  // True keeps `log` out of the store. Once one delegate says so, the later ones are not asked.
  virtual bool channelUnitShouldFilterLog(TLChannelUnitProtocol& /*channelUnit*/,
                                          const std::shared_ptr<TLLog>& /*log*/) {
    return false;
  }
};
