#pragma once
// TLChannelGroupProtocol is the owner of the telemetry pipeline as services see it: it makes the
// channel units, one per log group, sets where and with which secret they send, and limits the
// size of their shared store. Its delegates hear the callbacks of every unit it made.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Channel/TLChannelProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitConfiguration.h"

class TLChannelUnitProtocol;

class TLChannelGroupProtocol : public TLChannelProtocol {
 public:
  // A new unit for `configuration` sending through the group's own ingestion; null (and no
  // callback) when no configuration is given. The group keeps the unit for its lifetime.
  virtual std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::optional<TLChannelUnitConfiguration>& configuration) = 0;
  // The same with `ingestion` in place of the group's (null: the group's).
  virtual std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::optional<TLChannelUnitConfiguration>& configuration,
      const std::shared_ptr<TLIngestionProtocol>& ingestion) = 0;
  // Where, and with which secret, the group's own ingestion sends.
  virtual void setLogUrl(const std::string& logUrl) = 0;
  virtual void setAppSecret(const std::optional<std::string>& appSecret) = 0;
  // Limits the shared store to `sizeInBytes`; `completionHandler` hears later, on the logs queue,
  // whether the limit changed.
  virtual void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) = 0;
  // The first unit made for `groupId`, or null.
  virtual std::shared_ptr<TLChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const = 0;
};
