#pragma once
// TLChannelUnitConfiguration holds the settings of one channel unit: its group id (also the
// partition of the log store), its priority, how long stored logs may wait before a send, how many
// logs go in one batch and how many batches may be in flight at once. Immutable, so it is safe to
// share between threads.
#include <cstdint>
#include <string>

class TLChannelUnitConfiguration {
 public:
  // The defaults of every unit that does not ask for more.
  static constexpr std::int64_t kDefaultPriority = 1;
  static constexpr std::uint64_t kDefaultFlushInterval = 3;  // seconds; also the "send full batches at once" interval
  static constexpr std::uint64_t kDefaultBatchSizeLimit = 50;
  static constexpr std::uint64_t kDefaultPendingBatchesLimit = 3;

  // Keeps the five values as given.
  TLChannelUnitConfiguration(std::string groupId, std::int64_t priority, std::uint64_t flushInterval,
                             std::uint64_t batchSizeLimit, std::uint64_t pendingBatchesLimit);
  // `groupId` and `flushInterval` with the default priority, batch size and pending-batches limit
  // (initDefaultConfigurationWithGroupId:flushInterval:).
  static TLChannelUnitConfiguration defaultConfiguration(std::string groupId,
                                                         std::uint64_t flushInterval = kDefaultFlushInterval);

  const std::string& groupId() const { return groupId_; }
  // Kept and exposed; nothing in the channel consults it.
  std::int64_t priority() const { return priority_; }
  std::uint64_t flushInterval() const { return flushInterval_; }
  std::uint64_t batchSizeLimit() const { return batchSizeLimit_; }
  std::uint64_t pendingBatchesLimit() const { return pendingBatchesLimit_; }

  bool operator==(const TLChannelUnitConfiguration&) const = default;

 private:
  std::string groupId_;
  std::int64_t priority_;
  std::uint64_t flushInterval_;
  std::uint64_t batchSizeLimit_;
  std::uint64_t pendingBatchesLimit_;
};
