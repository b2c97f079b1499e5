// Value sources, description helpers, value conversion and the plain functions of the data import.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

#include "coredata/DataImport.h"
#include "coredata/DataStackLog.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/KeyValueCoding.h"
#include "platform/foundation/String.h"

using coredata::AttributeDescription;
using coredata::AttributeType;
using coredata::EntityDescription;
using coredata::RelationshipDescription;
using foundation::Value;

namespace {

// The byte length of the UTF-8 character `text` starts with (1 for stray bytes).
std::size_t firstCharacterLength(const std::string& text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 1;
  if (lead >= 0xF0) length = 4;
  else if (lead >= 0xE0) length = 3;
  else if (lead >= 0xC0) length = 2;
  return std::min(length, text.size());
}

std::string withFirstCharacter(const std::string& text, bool upper) {
  if (text.empty()) return text;
  const std::size_t length = firstCharacterLength(text);
  const std::string first = text.substr(0, length);
  return (upper ? foundation::uppercase(first) : foundation::lowercase(first)) + text.substr(length);
}

const Value& userInfoValue(const coredata::PropertyDescription& property, const char* key) {
  return property.userInfo().get(key);
}

std::string userInfoText(const coredata::PropertyDescription& property, const char* key) {
  const Value& value = userInfoValue(property, key);
  return value.isString() ? value.stringValue() : std::string();
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// One step of a key path into a dictionary or a key-value-coding object.
std::optional<Value> step(const Value& container, const std::string& key) {
  if (container.isDictionary()) {
    const Value* found = container.dictionaryValue().find(key);
    return found ? std::optional<Value>(*found) : std::nullopt;
  }
  if (container.isObject()) {
    const auto coding = std::dynamic_pointer_cast<foundation::KeyValueCoding>(container.objectValue());
    if (coding && coding->hasKey(key)) return coding->valueForKey(key);
    return std::nullopt;
  }
  if (container.isArray()) {
    // Arrays answer element-wise, as key-value coding does; absent only when nothing answers.
    Value collected = foundation::valueForKeyPath(container, key);
    return collected.isNull() ? std::nullopt : std::optional<Value>(collected);
  }
  return std::nullopt;
}

Value convertNumber(const Value& value) {
  if (value.isNumber() || value.isNull()) return value;
  return DS_numberFromString(value.isString() ? value.stringValue() : value.description());
}

Value convertString(const Value& value) {
  if (value.isString() || value.isNull()) return value;
  return Value(value.description());
}

Value convertBoolean(const Value& value) {
  if (value.isNumber() || value.isNull()) return value;
  return Value(value.boolValue());
}

Value convertDate(const AttributeDescription& attribute, const Value& value) {
  if (value.isDate() || value.isNull()) return value;
  const std::string format = userInfoText(attribute, kDataStackImportAttributeDateFormatKey);
  if (value.isNumber()) return Value(DS_dateFromNumber(value, format == kDataStackImportUnixTimeString));
  const std::string text = value.isString() ? value.stringValue() : value.description();
  const auto date = DS_dateFromString(text, format.empty() ? kDataStackImportDefaultDateFormat : format);
  return date ? Value(*date) : Value();
}

}  // namespace

// --- Value sources -------------------------------------------------------------------------------

std::optional<Value> DSImportSource::valueAtKeyPath(const Value& data, const std::string& keyPath) {
  std::optional<Value> current = data;
  std::size_t start = 0;
  while (current) {
    const std::size_t dot = keyPath.find('.', start);
    const std::string key = keyPath.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    current = step(*current, key);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return current;
}

std::optional<std::string> DSImportSource::DS_lookupKeyForAttribute(const Value& data,
                                                                    const AttributeDescription& attribute) {
  if (!data.isDictionary() && !data.isObject() && !data.isArray()) return std::nullopt;
  const std::string mapped = userInfoText(attribute, kDataStackImportMapKey);
  const std::string key = mapped.empty() ? attribute.name() : mapped;
  if (valueAtKeyPath(data, key)) return key;
  for (unsigned long number = 1; number <= kDataStackImportMaximumAttributeFailoverDepth; ++number) {
    const std::string alternativeKey = foundation::stringWithFormat("%@.%lu", kDataStackImportMapKey, number);
    const std::string alternative = userInfoText(attribute, alternativeKey.c_str());
    if (alternative.empty()) return std::nullopt;
    if (valueAtKeyPath(data, alternative)) return alternative;
  }
  return std::nullopt;
}

Value DSImportSource::DS_valueForAttribute(const Value& data, const AttributeDescription& attribute) {
  const auto key = DS_lookupKeyForAttribute(data, attribute);
  if (!key) return Value();
  return valueAtKeyPath(data, *key).value_or(Value());
}

std::string DSImportSource::DS_lookupKeyForRelationship(const Value&, const RelationshipDescription& relationship) {
  const std::string mapped = userInfoText(relationship, kDataStackImportMapKey);
  return mapped.empty() ? relationship.name() : mapped;
}

Value DSImportSource::DS_relatedValueForRelationship(const Value& data, const RelationshipDescription& relationship) {
  if (!data.isDictionary()) return data;
  const auto destination = relationship.destinationEntity();
  if (!destination) {
    dslog::log(dslog::kError, "Unable to find entity for type '%@'", data["type"]);
    return Value();
  }
  const DSAttributePtr primary = DSEntityDescription::DS_primaryAttributeToRelateBy(*destination);
  return primary ? DS_valueForAttribute(data, *primary) : Value();
}

// --- Descriptions --------------------------------------------------------------------------------

DSAttributePtr DSEntityDescription::DS_primaryAttributeToRelateBy(const EntityDescription& entity) {
  const Value& given = entity.userInfo().get(kDataStackImportRelationshipPrimaryKey);
  const std::string name = given.isString() ? given.stringValue() : DS_primaryKeyNameFromString(entity.name());
  DSAttributePtr attribute = DS_attributeDescriptionForName(entity, name);
  if (!attribute) {
    dslog::log(dslog::kError, "Invalid value for key '%@' in '%@' entity. Remove this key or add attribute '%@'\n",
               kDataStackImportRelationshipPrimaryKey, entity.name(), name);
  }
  return attribute;
}

DSAttributePtr DSEntityDescription::DS_attributeDescriptionForName(const EntityDescription& entity,
                                                                   const std::string& name) {
  for (const DSAttributePtr& attribute : entity.attributes()) {
    if (attribute->name() == name) return attribute;
  }
  return nullptr;
}

Value DSAttributeDescription::DS_valueForKeyPath(const AttributeDescription& attribute, const std::string& keyPath,
                                                 const Value& data) {
  const Value value = DSImportSource::valueAtKeyPath(data, keyPath).value_or(Value());
  const std::string className = userInfoText(attribute, kDataStackImportAttributeValueClassNameKey);
  if (!className.empty()) {
    if (!endsWith(className, "Color") || value.isNull()) return value;
    auto colour = DS_colorFromString(value.isString() ? value.stringValue() : value.description());
    return colour ? Value(std::static_pointer_cast<foundation::Object>(colour)) : Value();
  }
  switch (attribute.attributeType()) {
    case AttributeType::Integer16:
    case AttributeType::Integer32:
    case AttributeType::Integer64:
    case AttributeType::Decimal:
    case AttributeType::Double:
    case AttributeType::Float:
      return convertNumber(value);
    case AttributeType::String:
      return convertString(value);
    case AttributeType::Boolean:
      return convertBoolean(value);
    case AttributeType::Date:
      return convertDate(attribute, value);
    default:
      return value;
  }
}

std::string DSRelationshipDescription::DS_primaryKey(const RelationshipDescription& relationship) {
  const std::string given = userInfoText(relationship, kDataStackImportRelationshipPrimaryKey);
  if (!given.empty()) return given;
  return DS_primaryKeyNameFromString(relationship.destinationEntityName());
}

// --- Plain functions -----------------------------------------------------------------------------

std::string DS_capitalizedFirstCharacterString(const std::string& text) { return withFirstCharacter(text, true); }

std::string DS_attributeNameFromString(const std::string& text) { return withFirstCharacter(text, true); }

std::string DS_primaryKeyNameFromString(const std::string& text) {
  return foundation::stringWithFormat("%@ID", withFirstCharacter(text, false));
}

std::optional<foundation::Date> DS_dateFromString(const std::string& text, const std::string& format) {
  foundation::DateFormatter formatter;
  formatter.setTimeZoneSecondsFromGMT(0);
  formatter.setDateFormat(format);
  return formatter.dateFromString(text);
}

foundation::Date DS_dateFromNumber(const Value& number, bool milliseconds) {
  double seconds = number.doubleValue();
  if (milliseconds) seconds /= 1000.0;
  return foundation::Date::fromTimeIntervalSince1970(seconds);
}

Value DS_numberFromString(const std::string& text) { return Value(Value(text).doubleValue()); }

foundation::Date DS_adjustDateForDST(foundation::Date date) {
  return date.addingTimeInterval(foundation::DateFormatter::daylightSavingTimeOffset(date));
}

std::optional<std::array<int, 4>> DS_newColorComponentsFromString(const std::string& text) {
  const std::size_t open = text.find('(');
  const std::string prefix = text.substr(0, open);
  if (prefix.rfind("rgba", 0) != 0) return std::nullopt;
  // Missing colour components read 0 and a missing alpha 1 (opaque).
  std::array<int, 4> components{0, 0, 0, 1};
  std::size_t position = open == std::string::npos ? text.size() : open;
  for (std::size_t index = 0; index < components.size(); ++index) {
    while (position < text.size() && (text[position] == '(' || text[position] == ',' || text[position] == ')' ||
                                      std::isspace(static_cast<unsigned char>(text[position])))) {
      ++position;
    }
    if (position >= text.size()) break;
    const char* begin = text.c_str() + position;
    char* end = nullptr;
    const long value = std::strtol(begin, &end, 10);
    // Text that is not a number ends the scan instead of being skipped over forever.
    if (end == begin) break;
    components[index] = static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
    position += static_cast<std::size_t>(end - begin);
  }
  return components;
}

std::shared_ptr<DSColor> DS_colorFromString(const std::string& text) {
  const auto components = DS_newColorComponentsFromString(text);
  if (!components) return nullptr;
  const auto channel = [](int value) { return static_cast<double>(static_cast<float>(value) / 255.0f); };
  return DSColor::colorWithDeviceRed(channel((*components)[0]), channel((*components)[1]), channel((*components)[2]),
                                     static_cast<double>((*components)[3]));
}
