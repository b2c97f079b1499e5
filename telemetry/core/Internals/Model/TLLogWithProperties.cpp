#include "telemetry/core/Internals/Model/TLLogWithProperties.h"

namespace {

constexpr const char* kPropertiesKey = "properties";

}  // namespace

TLLogWithProperties::TLLogWithProperties(foundation::KeyedUnarchiver& coder) : TLAbstractLog(coder) {
  const foundation::Value properties = coder.decodeObjectOfClass(foundation::ArchiveClass::Dictionary, kPropertiesKey);
  if (properties.isDictionary()) properties_ = properties.dictionaryValue();
}

void TLLogWithProperties::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(properties_, kPropertiesKey);
}

std::optional<foundation::Dictionary> TLLogWithProperties::serializeToDictionary() const {
  auto dictionary = TLAbstractLog::serializeToDictionary();
  if (dictionary && properties_ && !properties_->empty()) dictionary->set(kPropertiesKey, *properties_);
  return dictionary;
}

bool TLLogWithProperties::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLLogWithProperties*>(&other);
  return log && TLAbstractLog::isEqual(other) && properties_ == log->properties_;
}
