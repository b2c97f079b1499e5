#include "telemetry/core/Internals/Channel/TLChannelUnitConfiguration.h"

#include <utility>

TLChannelUnitConfiguration::TLChannelUnitConfiguration(std::string groupId, std::int64_t priority,
                                                       std::uint64_t flushInterval, std::uint64_t batchSizeLimit,
                                                       std::uint64_t pendingBatchesLimit)
    : groupId_(std::move(groupId)),
      priority_(priority),
      flushInterval_(flushInterval),
      batchSizeLimit_(batchSizeLimit),
      pendingBatchesLimit_(pendingBatchesLimit) {}

TLChannelUnitConfiguration TLChannelUnitConfiguration::defaultConfiguration(std::string groupId,
                                                                           std::uint64_t flushInterval) {
  return TLChannelUnitConfiguration(std::move(groupId), kDefaultPriority, flushInterval, kDefaultBatchSizeLimit,
                                    kDefaultPendingBatchesLimit);
}
