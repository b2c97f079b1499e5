#include "telemetry/analytics/TLEventProperties.h"

#include <cmath>

#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/TLLogger.h"

TLEventProperties::TLEventProperties(const foundation::Dictionary& properties) {
  for (const auto& [key, value] : properties) {
    if (!value.isString()) continue;
    auto property = std::make_shared<TLStringTypedProperty>();
    property->setName(key);
    property->setValue(value.stringValue());
    store(key, std::move(property));
  }
}

TLEventProperties::TLEventProperties(foundation::KeyedUnarchiver& coder) {
  const foundation::Value properties =
      coder.decodeObjectOfClasses({foundation::ArchiveClass::Dictionary, "TLTypedProperty"});
  if (properties.isNull()) return;
  if (!properties.isDictionary()) {
    coder.failWithError(foundation::Error(foundation::kCocoaErrorDomain, foundation::kCoderReadCorruptError,
                                          {{"NSDebugDescription", "Event properties are not a dictionary."}}));
    return;
  }
  for (const auto& [key, value] : properties.dictionaryValue()) {
    auto property = value.objectAs<TLTypedProperty>();
    if (!property) {
      coder.failWithError(foundation::Error(foundation::kCocoaErrorDomain, foundation::kCoderReadCorruptError,
                                            {{"NSDebugDescription", "An event property is not a typed property."}}));
      return;
    }
    properties_.set(key, foundation::Value(std::static_pointer_cast<foundation::Object>(property)));
  }
}

TLEventProperties& TLEventProperties::setString(const std::optional<std::string>& value,
                                                const std::optional<std::string>& key) {
  if (!validateKey(key) || !validateValue(value ? foundation::Value(*value) : foundation::Value())) return *this;
  auto property = std::make_shared<TLStringTypedProperty>();
  property->setName(*key);
  property->setValue(*value);
  store(*key, std::move(property));
  return *this;
}

TLEventProperties& TLEventProperties::setDouble(double value, const std::optional<std::string>& key) {
  if (!validateKey(key)) return *this;
  // The JSON writer refuses these, which would fail the whole batch the event goes out in.
  if (!std::isfinite(value)) {
    TLLogError(kTLAnalyticsLogTag, "Double value for property '%@' must be finite (cannot be INFINITY or NAN).", *key);
    return *this;
  }
  auto property = std::make_shared<TLDoubleTypedProperty>();
  property->setName(*key);
  property->setValue(value);
  store(*key, std::move(property));
  return *this;
}

TLEventProperties& TLEventProperties::setInt64(std::int64_t value, const std::optional<std::string>& key) {
  if (!validateKey(key)) return *this;
  auto property = std::make_shared<TLLongTypedProperty>();
  property->setName(*key);
  property->setValue(value);
  store(*key, std::move(property));
  return *this;
}

TLEventProperties& TLEventProperties::setBool(bool value, const std::optional<std::string>& key) {
  if (!validateKey(key)) return *this;
  auto property = std::make_shared<TLBooleanTypedProperty>();
  property->setName(*key);
  property->setValue(value);
  store(*key, std::move(property));
  return *this;
}

TLEventProperties& TLEventProperties::setDate(const std::optional<foundation::Date>& value,
                                              const std::optional<std::string>& key) {
  if (!validateKey(key) || !validateValue(value ? foundation::Value(*value) : foundation::Value())) return *this;
  auto property = std::make_shared<TLDateTimeTypedProperty>();
  property->setName(*key);
  property->setValue(*value);
  store(*key, std::move(property));
  return *this;
}

void TLEventProperties::setTypedProperty(const std::shared_ptr<TLTypedProperty>& property, const std::string& key) {
  if (property) store(key, property);
}

void TLEventProperties::store(const std::string& key, std::shared_ptr<TLTypedProperty> property) {
  std::lock_guard lock(monitor_);
  properties_.set(key, foundation::Value(std::static_pointer_cast<foundation::Object>(std::move(property))));
}

void TLEventProperties::removeProperty(const std::string& key) {
  std::lock_guard lock(monitor_);
  properties_.remove(key);
}

foundation::Array TLEventProperties::serializeToArray() const {
  std::lock_guard lock(monitor_);
  foundation::Array array;
  for (const auto& [key, value] : properties_) {
    const auto property = value.objectAs<TLTypedProperty>();
    if (!property) continue;
    if (auto dictionary = property->serializeToDictionary()) array.push_back(std::move(*dictionary));
  }
  return array;
}

bool TLEventProperties::isEmpty() const { return count() == 0; }

std::size_t TLEventProperties::count() const {
  std::lock_guard lock(monitor_);
  return properties_.size();
}

foundation::Dictionary TLEventProperties::properties() const {
  std::lock_guard lock(monitor_);
  return properties_;
}

void TLEventProperties::mergeEventProperties(const TLEventProperties& other) {
  // A copy first, so that the two bags are never locked together.
  const foundation::Dictionary incoming = other.properties();
  std::lock_guard lock(monitor_);
  for (const auto& [key, value] : incoming) properties_.set(key, value);
}

bool TLEventProperties::isEqual(const foundation::Object& other) const {
  const auto* bag = dynamic_cast<const TLEventProperties*>(&other);
  if (!bag) return false;
  if (bag == this) return true;
  return properties() == bag->properties();
}

void TLEventProperties::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(foundation::Value(properties()));
}

bool TLEventProperties::validateKey(const std::optional<std::string>& key) {
  if (key) return true;
  TLLogError(kTLAnalyticsLogTag, "Key cannot be null. Property will not be added.");
  return false;
}

bool TLEventProperties::validateValue(const foundation::Value& value) {
  if (!value.isNull()) return true;
  TLLogError(kTLAnalyticsLogTag, "Value cannot be null. Property will not be added.");
  return false;
}
