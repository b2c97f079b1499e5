#pragma once
// TLAbstractLog is the base class of every telemetry log: it holds the common fields, writes
// them as JSON and into archives, judges validity and equality, and keeps the set of
// transmission targets the log goes to. Subclasses call the base first and add their own keys.
//
// The fields are filled on one thread before the log is handed over; only the target set is
// shared between threads afterwards, so only it is guarded (by the log's own lock).
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Model/TLDevice.h"
#include "telemetry/core/Internals/Model/TLLog.h"

class TLAbstractLog : public TLLog, public TLLogConversion {
 public:
  // Every field absent.
  TLAbstractLog() = default;
  // Reads back "type", "timestamp", "sid", "distributionGroupId", "userId" and "device"; a value
  // of the wrong kind fails the unarchiving. The tag and the target tokens are not archived.
  explicit TLAbstractLog(foundation::KeyedUnarchiver& coder);
  TLAbstractLog(const TLAbstractLog&) = delete;
  TLAbstractLog& operator=(const TLAbstractLog&) = delete;

  // Writes the six archived fields, absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // "type", "timestamp" (ISO 8601 in UTC with milliseconds), "sid", "distributionGroupId",
  // "userId" and "device" (the device's dictionary), each only when present. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when type, timestamp and device are present and the device is valid.
  bool isValid() const override;
  // Whether `other` is a TLAbstractLog (or subclass) whose tag, type, timestamp, sid,
  // distribution group id, user id and device all equal this log's, absent matching absent.
  // The target tokens take no part.
  bool isEqual(const foundation::Object& other) const override;

  // The JSON text of serializeToDictionary, pretty-printed or compact, slashes never escaped;
  // nothing when the dictionary cannot be written as JSON.
  std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;

  void addTransmissionTargetToken(const std::string& token) override;
  std::optional<std::set<std::string>> transmissionTargetTokens() const override;

  std::optional<std::string> type() const override { return type_; }
  void setType(std::optional<std::string> type) override { type_ = std::move(type); }
  std::optional<foundation::Date> timestamp() const override { return timestamp_; }
  void setTimestamp(std::optional<foundation::Date> timestamp) override { timestamp_ = timestamp; }
  std::optional<std::string> sid() const override { return sid_; }
  void setSid(std::optional<std::string> sid) override { sid_ = std::move(sid); }
  std::optional<std::string> distributionGroupId() const override { return distributionGroupId_; }
  void setDistributionGroupId(std::optional<std::string> id) override { distributionGroupId_ = std::move(id); }
  std::optional<std::string> userId() const override { return userId_; }
  void setUserId(std::optional<std::string> userId) override { userId_ = std::move(userId); }
  std::shared_ptr<TLDevice> device() const override { return device_; }
  void setDevice(std::shared_ptr<TLDevice> device) override { device_ = std::move(device); }
  foundation::Value tag() const override { return tag_; }
  void setTag(foundation::Value tag) override { tag_ = std::move(tag); }

  // Calls toCommonSchemaLogForTargetToken for each target token and collects the logs made.
  std::vector<std::shared_ptr<TLCommonSchemaLog>> toCommonSchemaLogsWithFlags(TLFlags flags) const override;
  // A new common-schema log of this log for one target token: the token as its only target,
  // version "3.0", this log's timestamp, the token's iKey, `flags`, and extensions filled from
  // the user id, the device and the main bundle (no name, data or metadata: subclasses that carry
  // an event name and data extend it). Null when the token has no target key, as a log without
  // an iKey cannot be attributed by the collector. Owned by the caller.
  virtual std::shared_ptr<TLCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                             TLFlags flags) const;

  // "Version <version>", followed by " (Build <build>)" when the build is present and not
  // empty; nothing when the version is absent or empty. Stateless.
  static std::optional<std::string> combineOsVersion(const std::optional<std::string>& version,
                                                     const std::optional<std::string>& build);
  // "<name>-<version>" when both are present and not empty; nothing otherwise. Stateless.
  static std::optional<std::string> combineSDKLibVer(const std::optional<std::string>& name,
                                                     const std::optional<std::string>& version);
  // An offset in minutes east of UTC as a sign ("+" for zero), two-digit hours, ":" and two-digit
  // minutes: 345 gives "+05:45", -30 gives "-00:30". Stateless.
  static std::string convertTimeZoneOffsetToISO8601(std::int64_t offsetMinutes);

 private:
  std::optional<std::string> type_;
  std::optional<foundation::Date> timestamp_;
  std::optional<std::string> sid_;
  std::optional<std::string> distributionGroupId_;
  std::optional<std::string> userId_;
  std::shared_ptr<TLDevice> device_;
  foundation::Value tag_;

  mutable std::mutex tokensMutex_;
  std::optional<std::set<std::string>> transmissionTargetTokens_;
};
