#include "telemetry/core/Internals/Model/TLAbstractLog.h"

#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/Internals/Util/TLUtility.h"

namespace {

constexpr const char* kTypeKey = "type";
constexpr const char* kTimestampKey = "timestamp";
constexpr const char* kSidKey = "sid";
constexpr const char* kDistributionGroupIdKey = "distributionGroupId";
constexpr const char* kUserIdKey = "userId";
constexpr const char* kDeviceKey = "device";

}  // namespace

TLAbstractLog::TLAbstractLog(foundation::KeyedUnarchiver& coder)
    : type_(coder.decodeStringForKey(kTypeKey)),
      sid_(coder.decodeStringForKey(kSidKey)),
      distributionGroupId_(coder.decodeStringForKey(kDistributionGroupIdKey)),
      userId_(coder.decodeStringForKey(kUserIdKey)),
      device_(coder.decodeObjectOfClass<TLDevice>(kDeviceKey)) {
  const foundation::Value timestamp = coder.decodeObjectOfClass(foundation::ArchiveClass::Date, kTimestampKey);
  if (timestamp.isDate()) timestamp_ = timestamp.dateValue();
}

void TLAbstractLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(type_, kTypeKey);
  coder.encodeObject(timestamp_, kTimestampKey);
  coder.encodeObject(sid_, kSidKey);
  coder.encodeObject(distributionGroupId_, kDistributionGroupIdKey);
  coder.encodeObject(userId_, kUserIdKey);
  coder.encodeObject(device_, kDeviceKey);
}

std::optional<foundation::Dictionary> TLAbstractLog::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  if (type_) dictionary.set(kTypeKey, *type_);
  if (timestamp_) dictionary.set(kTimestampKey, TLUtility::dateToISO8601(*timestamp_));
  if (sid_) dictionary.set(kSidKey, *sid_);
  if (distributionGroupId_) dictionary.set(kDistributionGroupIdKey, *distributionGroupId_);
  if (userId_) dictionary.set(kUserIdKey, *userId_);
  if (device_) {
    if (auto device = device_->serializeToDictionary()) dictionary.set(kDeviceKey, std::move(*device));
  }
  return dictionary;
}

bool TLAbstractLog::isValid() const { return type_ && timestamp_ && device_ && device_->isValid(); }

bool TLAbstractLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLAbstractLog*>(&other);
  return log && tag_ == log->tag_ && type_ == log->type_ && timestamp_ == log->timestamp_ && sid_ == log->sid_ &&
         distributionGroupId_ == log->distributionGroupId_ && userId_ == log->userId_ &&
         TLBothAbsentOrEqual(device_, log->device_);
}

std::optional<std::string> TLAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
  const auto dictionary = serializeToDictionary();
  if (!dictionary) return std::nullopt;
  return TLUtility::jsonStringFromObject(*dictionary, prettyPrint);
}

void TLAbstractLog::addTransmissionTargetToken(const std::string& token) {
  std::lock_guard lock(tokensMutex_);
  // Readers get copies, so the set may be changed in place.
  if (!transmissionTargetTokens_) transmissionTargetTokens_.emplace();
  transmissionTargetTokens_->insert(token);
}

std::optional<std::set<std::string>> TLAbstractLog::transmissionTargetTokens() const {
  std::lock_guard lock(tokensMutex_);
  return transmissionTargetTokens_;
}
