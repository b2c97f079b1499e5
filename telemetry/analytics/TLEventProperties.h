#pragma once
// TLEventProperties is the bag of typed properties of one analytics event: at most one property
// per name, of one of the five kinds (string, double, 64-bit integer, Boolean, date), kept in the
// order their names were first set. A later set under the same name replaces the property in
// place. The bag checks only that key and value are present and that doubles are finite; the
// length and count limits apply when an event is tracked.
//
// The setters, serializeToArray, properties and the archiving hold the bag's own lock, so a bag
// may be filled on one thread while a channel serialises it on another.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Monitor.h"
#include "platform/foundation/Value.h"
#include "telemetry/core/Internals/Model/TLTypedProperty.h"

class TLEventProperties : public foundation::Coding {
 public:
  // An empty bag.
  TLEventProperties() = default;
  // One string property per string entry of `properties`, named by its key, in the dictionary's
  // order; entries that hold no string are skipped. No length or count checks.
  explicit TLEventProperties(const foundation::Dictionary& properties);
  // Reads back the dictionary written by encodeWithCoder (the coder's one unkeyed object); a
  // value that is no typed property fails the unarchiving.
  explicit TLEventProperties(foundation::KeyedUnarchiver& coder);
  TLEventProperties(const TLEventProperties&) = delete;
  TLEventProperties& operator=(const TLEventProperties&) = delete;

  // Each adds, or replaces, the property `key`, and returns the bag for chaining. A missing key
  // (or a missing string or date value) logs an ERROR line and changes nothing; so does a double
  // that is NaN or infinite.
  TLEventProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
  TLEventProperties& setDouble(double value, const std::optional<std::string>& key);
  TLEventProperties& setInt64(std::int64_t value, const std::optional<std::string>& key);
  TLEventProperties& setBool(bool value, const std::optional<std::string>& key);
  TLEventProperties& setDate(const std::optional<foundation::Date>& value, const std::optional<std::string>& key);
  // Stores `property` under `key` as it is (the validation's copies go in this way). A null
  // property is ignored.
  void setTypedProperty(const std::shared_ptr<TLTypedProperty>& property, const std::string& key);

  // Removes the property `key`; an unknown key changes nothing.
  void removeProperty(const std::string& key);

  // One dictionary per property ({"type", "name", "value"}), in the bag's order; empty for an
  // empty bag. Owned by the caller.
  foundation::Array serializeToArray() const;
  // Whether the bag holds no property.
  bool isEmpty() const;
  // How many properties the bag holds.
  std::size_t count() const;
  // A copy of the map from name to property (each value an object holding a TLTypedProperty),
  // in the bag's order. The properties themselves are shared, not copied.
  foundation::Dictionary properties() const;
  // Copies every property of `other` in, replacing those of equal names. Merging a bag into
  // itself changes nothing.
  void mergeEventProperties(const TLEventProperties& other);

  // Whether `other` is a TLEventProperties with the same names holding equal properties.
  bool isEqual(const foundation::Object& other) const override;
  // Writes the map from name to property as the coder's one unkeyed object.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

  // Whether a key may name a property: present. Logs an ERROR line when it is not.
  static bool validateKey(const std::optional<std::string>& key);
  // Whether a value may be stored: present. Logs an ERROR line when it is not.
  static bool validateValue(const foundation::Value& value);

 private:
  void store(const std::string& key, std::shared_ptr<TLTypedProperty> property);

  mutable foundation::Monitor monitor_;
  foundation::Dictionary properties_;
};
