#pragma once
// TLLogWithProperties is the base of logs that carry string properties (named events, pages,
// errors): a dictionary from name to text under "properties".
#include <optional>

#include "telemetry/core/Internals/Model/TLAbstractLog.h"

class TLLogWithProperties : public TLAbstractLog {
 public:
  TLLogWithProperties() = default;
  // Reads back the base keys and "properties"; a value of the wrong kind fails the unarchiving.
  explicit TLLogWithProperties(foundation::KeyedUnarchiver& coder);

  // The base keys, then "properties".
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, plus "properties" when they are present and not empty.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Whether `other` is a TLLogWithProperties equal as a base log and with equal properties.
  bool isEqual(const foundation::Object& other) const override;

  // The properties, text values under their names; absent until set.
  const std::optional<foundation::Dictionary>& properties() const { return properties_; }
  void setProperties(std::optional<foundation::Dictionary> properties) { properties_ = std::move(properties); }

 private:
  std::optional<foundation::Dictionary> properties_;
};
