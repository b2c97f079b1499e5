#include "telemetry/analytics/Model/TLEventLog+CommonSchema.h"

#include "telemetry/analytics/Model/TLEventLog.h"

#include <optional>

#include "platform/foundation/String.h"
#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr const char* kBaseType = "baseType";
constexpr const char* kBaseData = "baseData";
constexpr const char* kBaseTypePrefix = "baseType.";
constexpr const char* kBaseDataPrefix = "baseData.";
constexpr const char* kFieldsKey = "f";

bool hasPrefix(const std::optional<std::string>& name, std::string_view prefix) {
  return name && name->starts_with(prefix);
}

// The leaf value of a property, or nothing when it has none.
std::optional<foundation::Value> leafValue(const TLTypedProperty& property) {
  if (const auto* text = dynamic_cast<const TLStringTypedProperty*>(&property)) {
    if (!text->value()) return std::nullopt;
    return foundation::Value(*text->value());
  }
  if (const auto* flag = dynamic_cast<const TLBooleanTypedProperty*>(&property)) return foundation::Value(flag->value());
  if (const auto* number = dynamic_cast<const TLLongTypedProperty*>(&property)) {
    return foundation::Value(static_cast<long long>(number->value()));
  }
  if (const auto* number = dynamic_cast<const TLDoubleTypedProperty*>(&property)) return foundation::Value(number->value());
  if (const auto* date = dynamic_cast<const TLDateTimeTypedProperty*>(&property)) {
    if (!date->value()) return std::nullopt;
    return foundation::Value(TLUtility::dateToISO8601(*date->value()));
  }
  return std::nullopt;
}

// The child dictionary of `node` under `key`, made when absent; null when the key holds a value.
// `created` is set when the call made it.
foundation::Dictionary* childDictionary(foundation::Dictionary& node, const std::string& key, bool& created) {
  created = false;
  if (foundation::Value* entry = node.find(key)) return entry->isDictionary() ? &entry->mutableDictionary() : nullptr;
  node.set(key, foundation::Dictionary());
  created = true;
  return &node.find(key)->mutableDictionary();
}

}  // namespace

void TLEventLogCommonSchema::setPropertiesAndMetadataForCSLog(TLCommonSchemaLog& log,
                                                              const TypedProperties& properties,
                                                              const TypeIdMapping& metadataTypeIdMapping) {
  if (properties.empty()) return;
  // The reserved names are settled on a copy: the event's own bag stays as it was tracked.
  TypedProperties remaining;
  std::shared_ptr<TLTypedProperty> baseType;
  bool hasBaseData = false;
  for (const auto& property : properties) {
    if (!property) continue;
    if (property->name() == kBaseType) baseType = property;
    if (hasPrefix(property->name(), kBaseDataPrefix)) hasBaseData = true;
    remaining.push_back(property);
  }
  const bool baseTypeIsString = dynamic_cast<const TLStringTypedProperty*>(baseType.get()) != nullptr;
  bool keepBaseType = baseTypeIsString;
  bool keepBaseData = true;
  if (baseTypeIsString && !hasBaseData) {
    TLLogWarning(kTLAnalyticsLogTag, "baseType was set but baseData is missing.");
    keepBaseType = false;
  }
  if (!baseTypeIsString) {
    keepBaseData = false;
    if (hasBaseData) TLLogWarning(kTLAnalyticsLogTag, "baseData was set but baseType is missing or invalid.");
  }

  foundation::Dictionary propertyTree;
  foundation::Dictionary metadataTree;
  for (const auto& property : remaining) {
    const auto& name = property->name();
    if (name == kBaseType && !keepBaseType) continue;
    if (hasPrefix(name, kBaseDataPrefix) && !keepBaseData) continue;
    if (hasPrefix(name, kBaseTypePrefix)) {
      TLLogWarning(kTLAnalyticsLogTag, "baseType must not be an object.");
      continue;
    }
    if (name == kBaseData) {
      TLLogWarning(kTLAnalyticsLogTag, "baseData must be an object.");
      continue;
    }
    addTypedProperty(*property, metadataTree, propertyTree, metadataTypeIdMapping);
  }

  if (!propertyTree.empty()) {
    auto data = std::make_shared<TLCSData>();
    data->setProperties(std::move(propertyTree));
    log.setData(std::move(data));
  }
  if (!metadataTree.empty()) {
    if (!log.ext()) log.setExt(std::make_shared<TLCSExtensions>());
    auto metadata = std::make_shared<TLMetadataExtension>();
    metadata->setMetadata(std::move(metadataTree));
    log.ext()->metadataExt = std::move(metadata);
  }
}

void TLEventLogCommonSchema::addTypedProperty(const TLTypedProperty& property, foundation::Dictionary& metadata,
                                              foundation::Dictionary& properties,
                                              const TypeIdMapping& metadataTypeIdMapping) {
  std::optional<int> typeId;
  if (property.type()) {
    if (auto found = metadataTypeIdMapping.find(*property.type()); found != metadataTypeIdMapping.end()) {
      typeId = found->second;
    }
  }
  const auto segments = foundation::componentsSeparatedByString(property.name().value_or(""), ".");

  foundation::Dictionary* propertyNode = &properties;
  foundation::Dictionary* metadataNode = &metadata;
  // The first metadata entry this call made (its container and key), so a clash can take back
  // everything made here and nothing more.
  foundation::Dictionary* firstCreatedIn = nullptr;
  std::string firstCreatedKey;
  const auto noteCreated = [&](foundation::Dictionary* container, const std::string& key) {
    if (firstCreatedIn) return;
    firstCreatedIn = container;
    firstCreatedKey = key;
  };

  for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
    const std::string& segment = segments[i];
    bool created = false;
    propertyNode = childDictionary(*propertyNode, segment, created);
    if (!propertyNode) break;
    if (!typeId) continue;
    foundation::Dictionary* fields = childDictionary(*metadataNode, kFieldsKey, created);
    if (created) noteCreated(metadataNode, kFieldsKey);
    // A type id where a level is needed cannot come from a property tree that let the walk
    // through; it is refused like a clash all the same.
    metadataNode = fields ? childDictionary(*fields, segment, created) : nullptr;
    if (!metadataNode) {
      propertyNode = nullptr;
      break;
    }
    if (created) noteCreated(fields, segment);
  }

  const std::string key = segments.empty() ? std::string() : segments.back();
  const bool stored = addTypedPropertyToPropertyTree(property, propertyNode, key);
  if (typeId && stored) {
    bool created = false;
    childDictionary(*metadataNode, kFieldsKey, created)->set(key, foundation::Value(*typeId));
    return;
  }
  if (firstCreatedIn) firstCreatedIn->remove(firstCreatedKey);
}

bool TLEventLogCommonSchema::addTypedPropertyToPropertyTree(const TLTypedProperty& property,
                                                            foundation::Dictionary* node, const std::string& key) {
  if (!node || node->contains(key)) {
    TLLogWarning(kTLAnalyticsLogTag, "Property key '%@' already has a value, choosing one.", key);
    return false;
  }
  auto value = leafValue(property);
  if (!value) return false;
  node->set(key, std::move(*value));
  return true;
}

std::shared_ptr<TLCommonSchemaLog> TLEventLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                             TLFlags flags) const {
  auto log = TLLogWithNameAndProperties::toCommonSchemaLogForTargetToken(token, flags);
  if (!log) return nullptr;
  log->setName(name());
  if (typedProperties_) {
    TLEventLogCommonSchema::TypedProperties properties;
    for (const auto& [key, value] : typedProperties_->properties()) {
      if (auto property = value.objectAs<TLTypedProperty>()) properties.push_back(std::move(property));
    }
    TLEventLogCommonSchema::setPropertiesAndMetadataForCSLog(*log, properties,
                                                             metadataTypeIdMapping_.value_or(TLEventLogCommonSchema::TypeIdMapping()));
  }
  log->setTag(tag());
  return log;
}
