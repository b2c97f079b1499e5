#include "telemetry/core/Internals/Model/TLCustomPropertiesLog.h"

#include "telemetry/core/Internals/Util/TLUtility.h"

namespace {

constexpr const char* kCustomPropertiesType = "customProperties";
constexpr const char* kPropertiesKey = "properties";

}  // namespace

TLCustomPropertiesLog::TLCustomPropertiesLog() { setType(kCustomPropertiesType); }

TLCustomPropertiesLog::TLCustomPropertiesLog(foundation::KeyedUnarchiver& coder) : TLAbstractLog(coder) {
  if (auto type = coder.decodeStringForKey(kCustomPropertiesType)) setType(std::move(type));
  const foundation::Value properties = coder.decodeObjectOfClass(foundation::ArchiveClass::Dictionary, kPropertiesKey);
  if (properties.isDictionary()) properties_ = properties.dictionaryValue();
}

void TLCustomPropertiesLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  // The type is written a second time under this key: archives made so far carry it there.
  coder.encodeObject(type(), kCustomPropertiesType);
  coder.encodeObject(properties_, kPropertiesKey);
}

std::optional<foundation::Dictionary> TLCustomPropertiesLog::serializeProperty(const foundation::Value& value) {
  switch (value.type()) {
    case foundation::Value::Type::Null:
      return foundation::Dictionary{{"type", "clear"}};
    case foundation::Value::Type::Bool:
      return foundation::Dictionary{{"type", "boolean"}, {"value", value}};
    case foundation::Value::Type::Int:
    case foundation::Value::Type::UInt:
    case foundation::Value::Type::Double:
      return foundation::Dictionary{{"type", "number"}, {"value", value}};
    case foundation::Value::Type::Date:
      return foundation::Dictionary{{"type", "dateTime"}, {"value", TLUtility::dateToISO8601(value.dateValue())}};
    case foundation::Value::Type::String:
      return foundation::Dictionary{{"type", "string"}, {"value", value}};
    default:
      return std::nullopt;
  }
}

std::optional<foundation::Dictionary> TLCustomPropertiesLog::serializeToDictionary() const {
  auto dictionary = TLAbstractLog::serializeToDictionary();
  if (!dictionary || !properties_) return dictionary;
  foundation::Array list;
  for (const auto& [name, value] : *properties_) {
    auto property = serializeProperty(value);
    if (!property) continue;
    property->set("name", name);
    list.emplace_back(std::move(*property));
  }
  dictionary->set(kPropertiesKey, std::move(list));
  return dictionary;
}

bool TLCustomPropertiesLog::isValid() const {
  return TLAbstractLog::isValid() && properties_ && !properties_->empty();
}

bool TLCustomPropertiesLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLCustomPropertiesLog*>(&other);
  return log && TLAbstractLog::isEqual(other) && properties_ == log->properties_;
}
