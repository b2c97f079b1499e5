#pragma once
// TLTypedProperty is one named, typed value of an analytics event; this header holds the base and
// its five kinds (string, Boolean, 64-bit integer, double, date-time), one family. Each kind sets
// its type string when made, writes {"type", "name", "value"} as JSON and archives the same keys.
// Equality looks at the type and the value, never at the name. Plain records: not safe to change
// from two threads at once.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Model/TLSerializableObject.h"

class TLTypedProperty : public TLSerializableObject {
 public:
  // No type and no name.
  TLTypedProperty() = default;
  // Reads back "type" and "name"; a value that is not text fails the unarchiving.
  explicit TLTypedProperty(foundation::KeyedUnarchiver& coder);

  // Writes "type" and "name", absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // "type" and "name", each when set; a kind adds "value". Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Whether `other` is a TLTypedProperty of the same type (absent matching absent). A kind also
  // requires `other` to be of its kind, with an equal value.
  bool isEqual(const foundation::Object& other) const override;

  const std::optional<std::string>& type() const { return type_; }
  void setType(std::optional<std::string> type) { type_ = std::move(type); }
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> name) { name_ = std::move(name); }

 private:
  std::optional<std::string> type_;
  std::optional<std::string> name_;
};

// Type "string"; "value" only when set.
class TLStringTypedProperty : public TLTypedProperty {
 public:
  TLStringTypedProperty();
  // The base keys and "value"; a value that is not text fails the unarchiving.
  explicit TLStringTypedProperty(foundation::KeyedUnarchiver& coder);
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isEqual(const foundation::Object& other) const override;

  const std::optional<std::string>& value() const { return value_; }
  void setValue(std::optional<std::string> value) { value_ = std::move(value); }

 private:
  std::optional<std::string> value_;
};

// Type "boolean"; "value" always, as a JSON Boolean (false until set).
class TLBooleanTypedProperty : public TLTypedProperty {
 public:
  TLBooleanTypedProperty();
  // The base keys and "value"; a value that is not a number fails the unarchiving.
  explicit TLBooleanTypedProperty(foundation::KeyedUnarchiver& coder);
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isEqual(const foundation::Object& other) const override;

  bool value() const { return value_; }
  void setValue(bool value) { value_ = value; }

 private:
  bool value_ = false;
};

// Type "long"; "value" always, as a JSON integer (0 until set).
class TLLongTypedProperty : public TLTypedProperty {
 public:
  TLLongTypedProperty();
  // The base keys and "value"; a value that is not a number fails the unarchiving.
  explicit TLLongTypedProperty(foundation::KeyedUnarchiver& coder);
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isEqual(const foundation::Object& other) const override;

  std::int64_t value() const { return value_; }
  void setValue(std::int64_t value) { value_ = value; }

 private:
  std::int64_t value_ = 0;
};

// Type "double"; "value" always, as a JSON number (0 until set). A NaN value equals nothing, and
// the JSON writer refuses it (and infinities).
class TLDoubleTypedProperty : public TLTypedProperty {
 public:
  TLDoubleTypedProperty();
  // The base keys and "value"; a value that is not a number fails the unarchiving.
  explicit TLDoubleTypedProperty(foundation::KeyedUnarchiver& coder);
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isEqual(const foundation::Object& other) const override;

  double value() const { return value_; }
  void setValue(double value) { value_ = value; }

 private:
  double value_ = 0;
};

// Type "dateTime"; "value" only when set, as ISO 8601 text in UTC with milliseconds.
class TLDateTimeTypedProperty : public TLTypedProperty {
 public:
  TLDateTimeTypedProperty();
  // The base keys and "value"; a value that is not a date fails the unarchiving.
  explicit TLDateTimeTypedProperty(foundation::KeyedUnarchiver& coder);
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isEqual(const foundation::Object& other) const override;

  const std::optional<foundation::Date>& value() const { return value_; }
  void setValue(std::optional<foundation::Date> value) { value_ = value; }

 private:
  std::optional<foundation::Date> value_;
};
