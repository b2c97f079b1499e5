#pragma once
// TLCommonSchemaLog is the envelope in which a log goes to the common-schema collector: a schema
// version, an event name, a time, the instrumentation key of its one transmission target, flags,
// the extensions and the data part. It replaces the base log's JSON with that shape; it is made
// only by converting another log (TLAbstractLog::toCommonSchemaLogForTargetToken).
//
// Like every log, it is filled on one thread before it is handed over; only the target set is
// shared between threads afterwards.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLAbstractLog.h"
#include "telemetry/core/Internals/Model/TLCSData.h"
#include "telemetry/core/Internals/Model/TLCSExtensions.h"

class TLCommonSchemaLog : public TLAbstractLog {
 public:
  // Every field empty.
  TLCommonSchemaLog() = default;
  // Reads back the base keys, then "ver", "name", "popSample", "iKey", "flags", "cV", "ext" and
  // "data"; a value of the wrong kind fails the unarchiving.
  explicit TLCommonSchemaLog(foundation::KeyedUnarchiver& coder);

  // The base keys, then the eight keys above, absent objects as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // In this order, each when set: "ver", "name", "time" (ISO 8601 in UTC with milliseconds),
  // "iKey", "flags" (only when not 0), "ext" (even when empty) and "data" (when the data part
  // writes something). None of the base log's keys; popSample and cV are never written.
  // Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the timestamp, ver and name are set (an empty name counts as set).
  bool isValid() const override;
  // Whether `other` is a TLCommonSchemaLog equal as a base log and in ver, name, iKey, cV,
  // popSample (NaN never equal), flags, ext and data.
  bool isEqual(const foundation::Object& other) const override;

  const std::optional<std::string>& ver() const { return ver_; }
  void setVer(std::optional<std::string> ver) { ver_ = std::move(ver); }
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> name) { name_ = std::move(name); }
  double popSample() const { return popSample_; }
  void setPopSample(double popSample) { popSample_ = popSample; }
  const std::optional<std::string>& iKey() const { return iKey_; }
  void setIKey(std::optional<std::string> iKey) { iKey_ = std::move(iKey); }
  std::int64_t flags() const { return flags_; }
  void setFlags(std::int64_t flags) { flags_ = flags; }
  const std::optional<std::string>& cV() const { return cV_; }
  void setCV(std::optional<std::string> cV) { cV_ = std::move(cV); }
  // Shared with whoever set them; absent until set.
  const std::shared_ptr<TLCSExtensions>& ext() const { return ext_; }
  void setExt(std::shared_ptr<TLCSExtensions> ext) { ext_ = std::move(ext); }
  const std::shared_ptr<TLCSData>& data() const { return data_; }
  void setData(std::shared_ptr<TLCSData> data) { data_ = std::move(data); }

 private:
  std::optional<std::string> ver_;
  std::optional<std::string> name_;
  double popSample_ = 0;
  std::optional<std::string> iKey_;
  std::int64_t flags_ = 0;
  std::optional<std::string> cV_;
  std::shared_ptr<TLCSExtensions> ext_;
  std::shared_ptr<TLCSData> data_;
};
