#include "telemetry/core/Internals/Model/TLStartServiceLog.h"

namespace {

constexpr const char* kStartServiceType = "startService";
constexpr const char* kServicesKey = "services";

}  // namespace

TLStartServiceLog::TLStartServiceLog() { setType(kStartServiceType); }

TLStartServiceLog::TLStartServiceLog(foundation::KeyedUnarchiver& coder) : TLAbstractLog(coder) {
  const foundation::Value services = coder.decodeObjectOfClass(foundation::ArchiveClass::Array, kServicesKey);
  if (!services.isArray()) return;
  std::vector<std::string> names;
  for (const foundation::Value& name : services.arrayValue()) {
    if (!name.isString()) {
      coder.failWithError(foundation::Error(foundation::kCocoaErrorDomain, foundation::kCoderReadCorruptError,
                                            {{"NSDebugDescription", "A service name is not a string."}}));
      return;
    }
    names.push_back(name.stringValue());
  }
  services_ = std::move(names);
}

void TLStartServiceLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  if (!services_) {
    coder.encodeObject(foundation::Value(), kServicesKey);
    return;
  }
  coder.encodeObject(foundation::Array(services_->begin(), services_->end()), kServicesKey);
}

std::optional<foundation::Dictionary> TLStartServiceLog::serializeToDictionary() const {
  auto dictionary = TLAbstractLog::serializeToDictionary();
  if (dictionary && services_) dictionary->set(kServicesKey, foundation::Array(services_->begin(), services_->end()));
  return dictionary;
}

bool TLStartServiceLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLStartServiceLog*>(&other);
  return log && TLAbstractLog::isEqual(other) && services_ == log->services_;
}
