#include "telemetry/analytics/Model/TLEventLog.h"

namespace {

constexpr const char* kEventType = "event";
constexpr const char* kIdKey = "id";
constexpr const char* kTypedPropertiesKey = "typedProperties";

}  // namespace

TLEventLog::TLEventLog() : metadataTypeIdMapping_(std::map<std::string, int>{{"long", 4}, {"double", 6}, {"dateTime", 9}}) {
  setType(kEventType);
}

TLEventLog::TLEventLog(foundation::KeyedUnarchiver& coder)
    : TLLogWithNameAndProperties(coder),
      eventId_(coder.decodeStringForKey(kIdKey)),
      typedProperties_(coder.decodeObjectOfClass<TLEventProperties>(kTypedPropertiesKey)) {}

void TLEventLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLLogWithNameAndProperties::encodeWithCoder(coder);
  coder.encodeObject(eventId_, kIdKey);
  coder.encodeObject(typedProperties_, kTypedPropertiesKey);
}

std::optional<foundation::Dictionary> TLEventLog::serializeToDictionary() const {
  auto dictionary = TLLogWithNameAndProperties::serializeToDictionary();
  if (!dictionary) return dictionary;
  if (eventId_) dictionary->set(kIdKey, *eventId_);
  if (typedProperties_) dictionary->set(kTypedPropertiesKey, typedProperties_->serializeToArray());
  return dictionary;
}

bool TLEventLog::isValid() const { return TLLogWithNameAndProperties::isValid() && eventId_.has_value(); }

bool TLEventLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLEventLog*>(&other);
  return log && TLLogWithNameAndProperties::isEqual(other) && eventId_ == log->eventId_;
}
