#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"

#include "telemetry/core/Internals/Util/TLOrderedDictionary.h"
#include "telemetry/core/Internals/Util/TLUtility.h"

namespace {

constexpr const char* kVerKey = "ver";
constexpr const char* kNameKey = "name";
constexpr const char* kTimeKey = "time";
constexpr const char* kPopSampleKey = "popSample";
constexpr const char* kIKeyKey = "iKey";
constexpr const char* kFlagsKey = "flags";
constexpr const char* kCVKey = "cV";
constexpr const char* kExtKey = "ext";
constexpr const char* kDataKey = "data";

}  // namespace

TLCommonSchemaLog::TLCommonSchemaLog(foundation::KeyedUnarchiver& coder)
    : TLAbstractLog(coder),
      ver_(coder.decodeStringForKey(kVerKey)),
      name_(coder.decodeStringForKey(kNameKey)),
      popSample_(coder.decodeDoubleForKey(kPopSampleKey)),
      iKey_(coder.decodeStringForKey(kIKeyKey)),
      flags_(coder.decodeInt64ForKey(kFlagsKey)),
      cV_(coder.decodeStringForKey(kCVKey)),
      ext_(coder.decodeObjectOfClass<TLCSExtensions>(kExtKey)),
      data_(coder.decodeObjectOfClass<TLCSData>(kDataKey)) {}

void TLCommonSchemaLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(ver_, kVerKey);
  coder.encodeObject(name_, kNameKey);
  coder.encodeDouble(popSample_, kPopSampleKey);
  coder.encodeObject(iKey_, kIKeyKey);
  coder.encodeInt64(flags_, kFlagsKey);
  coder.encodeObject(cV_, kCVKey);
  coder.encodeObject(ext_, kExtKey);
  coder.encodeObject(data_, kDataKey);
}

std::optional<foundation::Dictionary> TLCommonSchemaLog::serializeToDictionary() const {
  // The collector reads the envelope's keys in this order.
  TLOrderedDictionary dictionary;
  if (ver_) dictionary.setObject(*ver_, kVerKey);
  if (name_) dictionary.setObject(*name_, kNameKey);
  if (const auto time = timestamp()) dictionary.setObject(TLUtility::dateToISO8601(*time), kTimeKey);
  if (iKey_) dictionary.setObject(*iKey_, kIKeyKey);
  if (flags_ != 0) dictionary.setObject(flags_, kFlagsKey);
  if (ext_) dictionary.setObject(ext_->serializeToDictionary().value_or(foundation::Dictionary()), kExtKey);
  if (data_) {
    if (auto data = data_->serializeToDictionary()) dictionary.setObject(std::move(*data), kDataKey);
  }
  return dictionary.dictionary();
}

bool TLCommonSchemaLog::isValid() const { return timestamp() && ver_ && name_; }

bool TLCommonSchemaLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLCommonSchemaLog*>(&other);
  return log && TLAbstractLog::isEqual(other) && ver_ == log->ver_ && name_ == log->name_ && iKey_ == log->iKey_ &&
         cV_ == log->cV_ && popSample_ == log->popSample_ && flags_ == log->flags_ && TLBothAbsentOrEqual(ext_, log->ext_) &&
         TLBothAbsentOrEqual(data_, log->data_);
}
