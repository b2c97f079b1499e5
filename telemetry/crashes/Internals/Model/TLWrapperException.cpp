#include "telemetry/crashes/Internals/Model/TLWrapperException.h"

#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kModelExceptionKey = "modelException";
constexpr const char* kExceptionDataKey = "exceptionData";
constexpr const char* kProcessIdKey = "processId";

}  // namespace

using namespace TLErrorModelCoding;

TLWrapperException::TLWrapperException(foundation::KeyedUnarchiver& coder)
    : modelException(coder.decodeObjectOfClass<TLException>(kModelExceptionKey)),
      exceptionData(decodeData(coder, kExceptionDataKey)),
      processId(decodeInteger(coder, kProcessIdKey)) {}

void TLWrapperException::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(modelException, kModelExceptionKey);
  coder.encodeObject(exceptionData, kExceptionDataKey);
  coder.encodeObject(integerValue(processId), kProcessIdKey);
}

std::optional<foundation::Dictionary> TLWrapperException::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  if (modelException) {
    if (auto serialized = modelException->serializeToDictionary()) {
      dictionary.set(kModelExceptionKey, std::move(*serialized));
    }
  }
  if (processId) dictionary.set(kProcessIdKey, integerValue(processId));
  if (exceptionData) dictionary.set(kExceptionDataKey, *exceptionData);
  return dictionary;
}

bool TLWrapperException::isEqual(const foundation::Object& other) const {
  const auto* wrapper = dynamic_cast<const TLWrapperException*>(&other);
  return wrapper && TLBothAbsentOrEqual(modelException, wrapper->modelException) &&
         exceptionData == wrapper->exceptionData && processId == wrapper->processId;
}
