#include "telemetry/core/Internals/Model/TLTypedProperty.h"

#include "telemetry/core/Internals/Util/TLUtility.h"

namespace {

constexpr const char* kTypeKey = "type";
constexpr const char* kNameKey = "name";
constexpr const char* kValueKey = "value";

// The kind of `other` when it is a T equal to `property` as a base typed property.
template <class T>
const T* sameKind(const T& property, const foundation::Object& other) {
  const auto* kind = dynamic_cast<const T*>(&other);
  return kind && property.TLTypedProperty::isEqual(other) ? kind : nullptr;
}

// The base dictionary with "value" added.
std::optional<foundation::Dictionary> withValue(std::optional<foundation::Dictionary> dictionary,
                                                foundation::Value value) {
  if (dictionary && !value.isNull()) dictionary->set(kValueKey, std::move(value));
  return dictionary;
}

}  // namespace

TLTypedProperty::TLTypedProperty(foundation::KeyedUnarchiver& coder)
    : type_(coder.decodeStringForKey(kTypeKey)), name_(coder.decodeStringForKey(kNameKey)) {}

void TLTypedProperty::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(type_, kTypeKey);
  coder.encodeObject(name_, kNameKey);
}

std::optional<foundation::Dictionary> TLTypedProperty::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  if (type_) dictionary.set(kTypeKey, *type_);
  if (name_) dictionary.set(kNameKey, *name_);
  return dictionary;
}

bool TLTypedProperty::isEqual(const foundation::Object& other) const {
  const auto* property = dynamic_cast<const TLTypedProperty*>(&other);
  return property && type_ == property->type_;
}

// ---- String ------------------------------------------------------------------------------------

TLStringTypedProperty::TLStringTypedProperty() { setType("string"); }

TLStringTypedProperty::TLStringTypedProperty(foundation::KeyedUnarchiver& coder)
    : TLTypedProperty(coder), value_(coder.decodeStringForKey(kValueKey)) {}

void TLStringTypedProperty::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLTypedProperty::encodeWithCoder(coder);
  coder.encodeObject(value_, kValueKey);
}

std::optional<foundation::Dictionary> TLStringTypedProperty::serializeToDictionary() const {
  return withValue(TLTypedProperty::serializeToDictionary(), value_ ? foundation::Value(*value_) : foundation::Value());
}

bool TLStringTypedProperty::isEqual(const foundation::Object& other) const {
  const auto* property = sameKind(*this, other);
  return property && value_ == property->value_;
}

// ---- Boolean -----------------------------------------------------------------------------------

TLBooleanTypedProperty::TLBooleanTypedProperty() { setType("boolean"); }

TLBooleanTypedProperty::TLBooleanTypedProperty(foundation::KeyedUnarchiver& coder)
    : TLTypedProperty(coder), value_(coder.decodeBoolForKey(kValueKey)) {}

void TLBooleanTypedProperty::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLTypedProperty::encodeWithCoder(coder);
  coder.encodeBool(value_, kValueKey);
}

std::optional<foundation::Dictionary> TLBooleanTypedProperty::serializeToDictionary() const {
  return withValue(TLTypedProperty::serializeToDictionary(), value_);
}

bool TLBooleanTypedProperty::isEqual(const foundation::Object& other) const {
  const auto* property = sameKind(*this, other);
  return property && value_ == property->value_;
}

// ---- Long --------------------------------------------------------------------------------------

TLLongTypedProperty::TLLongTypedProperty() { setType("long"); }

TLLongTypedProperty::TLLongTypedProperty(foundation::KeyedUnarchiver& coder)
    : TLTypedProperty(coder), value_(coder.decodeInt64ForKey(kValueKey)) {}

void TLLongTypedProperty::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLTypedProperty::encodeWithCoder(coder);
  coder.encodeInt64(value_, kValueKey);
}

std::optional<foundation::Dictionary> TLLongTypedProperty::serializeToDictionary() const {
  return withValue(TLTypedProperty::serializeToDictionary(), value_);
}

bool TLLongTypedProperty::isEqual(const foundation::Object& other) const {
  const auto* property = sameKind(*this, other);
  return property && value_ == property->value_;
}

// ---- Double ------------------------------------------------------------------------------------

TLDoubleTypedProperty::TLDoubleTypedProperty() { setType("double"); }

TLDoubleTypedProperty::TLDoubleTypedProperty(foundation::KeyedUnarchiver& coder)
    : TLTypedProperty(coder), value_(coder.decodeDoubleForKey(kValueKey)) {}

void TLDoubleTypedProperty::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLTypedProperty::encodeWithCoder(coder);
  coder.encodeDouble(value_, kValueKey);
}

std::optional<foundation::Dictionary> TLDoubleTypedProperty::serializeToDictionary() const {
  return withValue(TLTypedProperty::serializeToDictionary(), value_);
}

bool TLDoubleTypedProperty::isEqual(const foundation::Object& other) const {
  const auto* property = sameKind(*this, other);
  return property && value_ == property->value_;
}

// ---- Date-time ---------------------------------------------------------------------------------

TLDateTimeTypedProperty::TLDateTimeTypedProperty() { setType("dateTime"); }

TLDateTimeTypedProperty::TLDateTimeTypedProperty(foundation::KeyedUnarchiver& coder) : TLTypedProperty(coder) {
  const foundation::Value value = coder.decodeObjectOfClass(foundation::ArchiveClass::Date, kValueKey);
  if (value.isDate()) value_ = value.dateValue();
}

void TLDateTimeTypedProperty::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLTypedProperty::encodeWithCoder(coder);
  coder.encodeObject(value_, kValueKey);
}

std::optional<foundation::Dictionary> TLDateTimeTypedProperty::serializeToDictionary() const {
  return withValue(TLTypedProperty::serializeToDictionary(),
                   value_ ? foundation::Value(TLUtility::dateToISO8601(*value_)) : foundation::Value());
}

bool TLDateTimeTypedProperty::isEqual(const foundation::Object& other) const {
  const auto* property = sameKind(*this, other);
  return property && value_ == property->value_;
}
