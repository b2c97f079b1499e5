#pragma once
// The protocols of telemetry logs. TLLog is what channel units, the log store and the
// ingestions know of a log: its validity, the transmission targets it goes to and its common
// fields. Every log is also serialisable and archivable, since the store keeps it as an archive
// and the ingestion sends it as JSON. TLLogConversion turns a log into the common-schema logs of
// its targets; TLNoAutoAssignSessionIdLog marks the logs that never receive the current session id.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "telemetry/core/Internals/Model/TLSerializableObject.h"
#include "telemetry/core/TLConstants.h"

class TLDevice;
class TLCommonSchemaLog;

class TLLog : public TLSerializableObject {
 public:
  // Whether the log may be stored and sent. Only answers.
  virtual bool isValid() const = 0;
  // Adds `token` to the targets the log goes to. Thread-safe.
  virtual void addTransmissionTargetToken(const std::string& token) = 0;
  // A copy of the targets, or nothing until a first one is added. Thread-safe.
  virtual std::optional<std::set<std::string>> transmissionTargetTokens() const = 0;

  // The common fields; absent values read as nothing. Not thread-safe: a log is filled on one
  // thread before it is handed over.
  virtual std::optional<std::string> type() const = 0;
  virtual void setType(std::optional<std::string> type) = 0;
  virtual std::optional<foundation::Date> timestamp() const = 0;
  virtual void setTimestamp(std::optional<foundation::Date> timestamp) = 0;
  virtual std::optional<std::string> sid() const = 0;
  virtual void setSid(std::optional<std::string> sid) = 0;
  virtual std::optional<std::string> distributionGroupId() const = 0;
  virtual void setDistributionGroupId(std::optional<std::string> distributionGroupId) = 0;
  virtual std::optional<std::string> userId() const = 0;
  virtual void setUserId(std::optional<std::string> userId) = 0;
  // Shared with whoever set it (logs of one run share the tracker's device).
  virtual std::shared_ptr<TLDevice> device() const = 0;
  virtual void setDevice(std::shared_ptr<TLDevice> device) = 0;
  // The object that made the log; null when none. Never stored or sent.
  virtual foundation::Value tag() const = 0;
  virtual void setTag(foundation::Value tag) = 0;
};

class TLLogConversion {
 public:
  virtual ~TLLogConversion() = default;
  // One common-schema log per transmission target token, made with `flags`; empty when the log
  // has no tokens or none converts. Owned by the caller.
  virtual std::vector<std::shared_ptr<TLCommonSchemaLog>> toCommonSchemaLogsWithFlags(TLFlags flags) const = 0;
};

// A log class that derives from this one never gets the current session id stamped on it.
class TLNoAutoAssignSessionIdLog {
 public:
  virtual ~TLNoAutoAssignSessionIdLog() = default;
};
