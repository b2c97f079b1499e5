#include "telemetry/analytics/Model/TLLogWithNameAndProperties.h"

namespace {

constexpr const char* kNameKey = "name";

}  // namespace

TLLogWithNameAndProperties::TLLogWithNameAndProperties(foundation::KeyedUnarchiver& coder)
    : TLLogWithProperties(coder), name_(coder.decodeStringForKey(kNameKey)) {}

void TLLogWithNameAndProperties::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLLogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(name_, kNameKey);
}

std::optional<foundation::Dictionary> TLLogWithNameAndProperties::serializeToDictionary() const {
  auto dictionary = TLLogWithProperties::serializeToDictionary();
  if (dictionary && name_) dictionary->set(kNameKey, *name_);
  return dictionary;
}

bool TLLogWithNameAndProperties::isValid() const { return TLLogWithProperties::isValid() && name_.has_value(); }

bool TLLogWithNameAndProperties::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLLogWithNameAndProperties*>(&other);
  return log && TLLogWithProperties::isEqual(other) && name_ == log->name_;
}
