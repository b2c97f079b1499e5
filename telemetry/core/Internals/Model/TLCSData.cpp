#include "telemetry/core/Internals/Model/TLCSData.h"

#include "telemetry/core/Internals/Util/TLOrderedDictionary.h"

namespace {

constexpr const char* kBaseTypeKey = "baseType";
constexpr const char* kBaseDataKey = "baseData";

}  // namespace

TLCSData::TLCSData(foundation::KeyedUnarchiver& coder) {
  const foundation::Value properties = coder.decodeObject();
  if (properties.isDictionary()) {
    properties_ = properties.dictionaryValue();
  } else if (!properties.isNull()) {
    coder.failWithError(foundation::Error(foundation::kCocoaErrorDomain, foundation::kCoderReadCorruptError,
                                          {{"NSDebugDescription", "The data properties are not a dictionary."}}));
  }
}

void TLCSData::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  const auto properties = this->properties();
  coder.encodeRootObject(properties ? foundation::Value(*properties) : foundation::Value());
}

std::optional<foundation::Dictionary> TLCSData::serializeToDictionary() const {
  const auto properties = this->properties();
  if (!properties) return std::nullopt;
  TLOrderedDictionary ordered(properties->size());
  for (const char* key : {kBaseTypeKey, kBaseDataKey}) {
    if (const foundation::Value* value = properties->find(key)) ordered.setObject(*value, key);
  }
  // Keys already written keep their place.
  for (const auto& [key, value] : *properties) ordered.setObject(value, key);
  return ordered.dictionary();
}

bool TLCSData::isEqual(const foundation::Object& other) const {
  const auto* data = dynamic_cast<const TLCSData*>(&other);
  return data && properties() == data->properties();
}

std::optional<foundation::Dictionary> TLCSData::properties() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

void TLCSData::setProperties(std::optional<foundation::Dictionary> properties) {
  std::lock_guard lock(mutex_);
  properties_ = std::move(properties);
}
