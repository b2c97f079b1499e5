#include "telemetry/crashes/Internals/Model/TLHandledErrorLog.h"

namespace {

constexpr const char* kHandledErrorType = "handledError";
constexpr const char* kErrorIdKey = "id";
constexpr const char* kExceptionKey = "exception";

}  // namespace

TLHandledErrorLog::TLHandledErrorLog() { setType(kHandledErrorType); }

TLHandledErrorLog::TLHandledErrorLog(foundation::KeyedUnarchiver& coder)
    : TLLogWithProperties(coder),
      errorId(coder.decodeStringForKey(kErrorIdKey)),
      exception(coder.decodeObjectOfClass<TLException>(kExceptionKey)) {}

void TLHandledErrorLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLLogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(errorId, kErrorIdKey);
  coder.encodeObject(exception, kExceptionKey);
}

std::optional<foundation::Dictionary> TLHandledErrorLog::serializeToDictionary() const {
  auto dictionary = TLLogWithProperties::serializeToDictionary();
  if (!dictionary) return dictionary;
  if (errorId) dictionary->set(kErrorIdKey, *errorId);
  if (exception) {
    if (auto serialized = exception->serializeToDictionary()) dictionary->set(kExceptionKey, std::move(*serialized));
  }
  return dictionary;
}

bool TLHandledErrorLog::isValid() const { return TLLogWithProperties::isValid() && errorId && exception; }

bool TLHandledErrorLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLHandledErrorLog*>(&other);
  return log && TLLogWithProperties::isEqual(other) && errorId == log->errorId &&
         TLBothAbsentOrEqual(exception, log->exception);
}
