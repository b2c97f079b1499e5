#include "telemetry/analytics/TLAnalytics+Validation.h"

#include "platform/foundation/String.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLPageLog.h"
#include "telemetry/analytics/TLAnalyticsConstants.h"
#include "telemetry/core/Internals/Util/TLUtility+PropertyValidation.h"
#include "telemetry/core/TLLogger.h"

namespace TLAnalyticsValidation {

bool shouldFilterLog(const std::shared_ptr<TLLog>& log) {
  // Only events and pages are this service's to judge.
  if (!std::dynamic_pointer_cast<TLEventLog>(log) && !std::dynamic_pointer_cast<TLPageLog>(log)) return false;
  return !validateLog(static_cast<TLLogWithNameAndProperties&>(*log));
}

bool validateLog(TLLogWithNameAndProperties& log) {
  const std::string type = log.type().value_or("");
  const auto name = validateEventName(log.name(), type);
  if (!name) return false;
  log.setName(*name);
  log.setProperties(validateProperties(log.properties().value_or(foundation::Dictionary()), *name, type));
  return true;
}

std::optional<std::string> validateEventName(const std::optional<std::string>& name, std::string_view logType) {
  if (!name || name->empty()) {
    TLLogError(kTLAnalyticsLogTag, "%@ name cannot be null or empty", logType);
    return std::nullopt;
  }
  if (foundation::length16(*name) > kTLMaxEventNameLength) {
    TLLogWarning(kTLAnalyticsLogTag, "%@ '%@' : name length cannot be longer than %d characters. Name will be truncated.",
                 logType, *name, static_cast<int>(kTLMaxEventNameLength));
    return TLUtility::truncatedToLength(*name, kTLMaxEventNameLength);
  }
  return name;
}

foundation::Dictionary validateProperties(const foundation::Dictionary& properties, std::string_view logName,
                                          std::string_view logType) {
  return TLUtility::validateProperties(properties, logName, logType);
}

std::shared_ptr<TLEventProperties> validateTelemetryEventProperties(const std::shared_ptr<TLEventProperties>& properties) {
  auto validated = std::make_shared<TLEventProperties>();
  if (!properties) return validated;
  for (const auto& [key, value] : properties->properties()) {
    if (validated->count() >= kTLMaxTypedPropertiesPerEvent) {
      TLLogWarning(kTLAnalyticsLogTag, "Typed properties cannot contain more than %d items. Skipping other properties.",
                   static_cast<int>(kTLMaxTypedPropertiesPerEvent));
      break;
    }
    const auto property = value.objectAs<TLTypedProperty>();
    if (!property) continue;
    const auto copy = validateTelemetryTypedProperty(*property);
    if (copy) validated->setTypedProperty(copy, copy->name().value_or(""));
  }
  return validated;
}

namespace {

template <class T>
std::shared_ptr<T> copyOfKind(const TLTypedProperty& property) {
  const auto* kind = dynamic_cast<const T*>(&property);
  if (!kind) return nullptr;
  auto copy = std::make_shared<T>();
  copy->setValue(kind->value());
  return copy;
}

}  // namespace

std::shared_ptr<TLTypedProperty> validateTelemetryTypedProperty(const TLTypedProperty& property) {
  std::shared_ptr<TLTypedProperty> copy;
  if (auto string = copyOfKind<TLStringTypedProperty>(property)) {
    if (string->value()) string->setValue(validateTelemetryStringTypedPropertyValue(*string->value()));
    copy = std::move(string);
  } else if (auto boolean = copyOfKind<TLBooleanTypedProperty>(property)) {
    copy = std::move(boolean);
  } else if (auto integer = copyOfKind<TLLongTypedProperty>(property)) {
    copy = std::move(integer);
  } else if (auto real = copyOfKind<TLDoubleTypedProperty>(property)) {
    copy = std::move(real);
  } else if (auto date = copyOfKind<TLDateTimeTypedProperty>(property)) {
    copy = std::move(date);
  } else {
    return nullptr;
  }
  copy->setName(validateTelemetryPropertyName(property.name().value_or("")));
  return copy;
}

std::string validateTelemetryPropertyName(const std::string& key) {
  if (foundation::length16(key) <= kTLMaxTypedPropertyKeyLength) return key;
  TLLogWarning(kTLAnalyticsLogTag,
               "Typed property '%@': key length cannot exceed %d characters. Property value will be truncated.", key,
               static_cast<int>(kTLMaxTypedPropertyKeyLength));
  return TLUtility::truncatedToLength(key, kTLMaxTypedPropertyKeyLength);
}

std::string validateTelemetryStringTypedPropertyValue(const std::string& value) {
  if (foundation::length16(value) <= kTLMaxTypedPropertyValueLength) return value;
  TLLogWarning(kTLAnalyticsLogTag,
               "Typed property value length cannot exceed %d characters. Property value will be truncated.",
               static_cast<int>(kTLMaxTypedPropertyValueLength));
  return TLUtility::truncatedToLength(value, kTLMaxTypedPropertyValueLength);
}

}  // namespace TLAnalyticsValidation
