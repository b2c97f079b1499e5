#pragma once
// TLCustomPropertiesLog carries the application's custom properties to the ingestion: each entry
// becomes a typed object {"name", "type", "value"} in the log's "properties" list, and a null
// value becomes a "clear" entry.
#include <optional>

#include "telemetry/core/Internals/Model/TLAbstractLog.h"

class TLCustomPropertiesLog : public TLAbstractLog {
 public:
  // Type "customProperties", no properties.
  TLCustomPropertiesLog();
  // Reads back the base keys, "customProperties" (the type) and "properties"; a value of the
  // wrong kind fails the unarchiving.
  explicit TLCustomPropertiesLog(foundation::KeyedUnarchiver& coder);

  // The base keys, the type again under "customProperties", and the whole dictionary under
  // "properties" (null values included).
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, plus "properties" when present: the typed object of each entry in
  // order, entries of other kinds left out; the list is written even when it ends up empty.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // The base validity, and properties present and not empty.
  bool isValid() const override;
  // Whether `other` is a TLCustomPropertiesLog equal as a base log and with equal properties.
  bool isEqual(const foundation::Object& other) const override;

  // One value as its typed object: {"type": "clear"} for null, "boolean", "number", "dateTime"
  // (ISO 8601 text in UTC with milliseconds) or "string" with the value; nothing for any other
  // kind. Without the "name".
  static std::optional<foundation::Dictionary> serializeProperty(const foundation::Value& value);

  // Key to value, null marking a key to clear; absent until set.
  const std::optional<foundation::Dictionary>& properties() const { return properties_; }
  void setProperties(std::optional<foundation::Dictionary> properties) { properties_ = std::move(properties); }

 private:
  std::optional<foundation::Dictionary> properties_;
};
