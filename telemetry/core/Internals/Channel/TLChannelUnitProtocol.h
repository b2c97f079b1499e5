#pragma once
// TLChannelUnitProtocol is the pipe of one log group as services see it: logs go in with their
// flags and come out in batches through an ingestion. Sending can be held back per transmission
// target, besides the pauses and the enabled state every channel has.
#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"
#include "telemetry/core/Internals/Channel/TLChannelProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitConfiguration.h"
#include "telemetry/core/Internals/Model/TLLog.h"
#include "telemetry/core/TLConstants.h"

class TLChannelUnitProtocol : public TLChannelProtocol {
 public:
  // Completes, prepares, filters and stores `item` for a later batch; the low byte of `flags` is
  // its persistence priority. A null or invalid log is dropped with a WARNING. Thread-safe.
  virtual void enqueueItem(const std::shared_ptr<TLLog>& item, TLFlags flags) = 0;
  // Holds back (or releases) the stored logs whose target key is that of `token`. Thread-safe;
  // the work is done later on the logs queue.
  virtual void pauseSendingLogsWithToken(const std::string& token) = 0;
  virtual void resumeSendingLogsWithToken(const std::string& token) = 0;
  // Decides whether to send now, arm the flush timer, or wait. Call on the logs queue.
  virtual void checkPendingLogs() = 0;
  // The unit's settings, fixed at creation.
  virtual const TLChannelUnitConfiguration& configuration() const = 0;
  // The serial queue the unit does its work on (the channel group's). Never null.
  virtual const std::shared_ptr<dispatch::Queue>& logsDispatchQueue() const = 0;
};
