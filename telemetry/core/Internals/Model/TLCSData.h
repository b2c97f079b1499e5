#pragma once
// TLCSData is the "data" part of a common-schema log: the event's properties as a tree of
// JSON-ready values, written with "baseType" and "baseData" first. Its properties are archived
// as the coder's unkeyed object, without a key of their own.
#include <mutex>
#include <optional>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Model/TLSerializableObject.h"

class TLCSData : public TLSerializableObject, public TLModel {
 public:
  TLCSData() = default;
  // Reads the unkeyed properties back; an unkeyed object that is not a dictionary fails the
  // unarchiving.
  explicit TLCSData(foundation::KeyedUnarchiver& coder);

  // Writes the properties (nil when absent) as the coder's unkeyed object.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // Nothing without properties; otherwise "baseType" and "baseData" when present, in that order,
  // then every other property in the order the properties hold them.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  // Whether `other` is a TLCSData with equal properties (absent matching absent).
  bool isEqual(const foundation::Object& other) const override;

  // A copy of the properties; absent until set. Thread-safe.
  std::optional<foundation::Dictionary> properties() const;
  void setProperties(std::optional<foundation::Dictionary> properties);

 private:
  mutable std::mutex mutex_;
  std::optional<foundation::Dictionary> properties_;
};
