#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"

#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kAppleErrorType = "appleError";
constexpr const char* kPrimaryArchitectureIdKey = "primaryArchitectureId";
constexpr const char* kArchitectureVariantIdKey = "architectureVariantId";
constexpr const char* kApplicationPathKey = "applicationPath";
constexpr const char* kOsExceptionTypeKey = "osExceptionType";
constexpr const char* kOsExceptionCodeKey = "osExceptionCode";
constexpr const char* kOsExceptionAddressKey = "osExceptionAddress";
constexpr const char* kExceptionTypeKey = "exceptionType";
constexpr const char* kExceptionReasonKey = "exceptionReason";
constexpr const char* kSelectorRegisterValueKey = "selectorRegisterValue";
constexpr const char* kThreadsKey = "threads";
constexpr const char* kBinariesKey = "binaries";
constexpr const char* kRegistersKey = "registers";
constexpr const char* kExceptionKey = "exception";

}  // namespace

using namespace TLErrorModelCoding;

TLAppleErrorLog::TLAppleErrorLog() { setType(kAppleErrorType); }

TLAppleErrorLog::TLAppleErrorLog(foundation::KeyedUnarchiver& coder)
    : TLAbstractErrorLog(coder),
      primaryArchitectureId(decodeInteger(coder, kPrimaryArchitectureIdKey)),
      architectureVariantId(decodeInteger(coder, kArchitectureVariantIdKey)),
      applicationPath(coder.decodeStringForKey(kApplicationPathKey)),
      osExceptionType(coder.decodeStringForKey(kOsExceptionTypeKey)),
      osExceptionCode(coder.decodeStringForKey(kOsExceptionCodeKey)),
      osExceptionAddress(coder.decodeStringForKey(kOsExceptionAddressKey)),
      exceptionType(coder.decodeStringForKey(kExceptionTypeKey)),
      exceptionReason(coder.decodeStringForKey(kExceptionReasonKey)),
      selectorRegisterValue(coder.decodeStringForKey(kSelectorRegisterValueKey)),
      threads(decodeObjects<TLThread>(coder, kThreadsKey)),
      binaries(decodeObjects<TLBinary>(coder, kBinariesKey)),
      registers(decodeTexts(coder, kRegistersKey)),
      exception(coder.decodeObjectOfClass<TLException>(kExceptionKey)) {}

void TLAppleErrorLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLAbstractErrorLog::encodeWithCoder(coder);
  coder.encodeObject(integerValue(primaryArchitectureId), kPrimaryArchitectureIdKey);
  coder.encodeObject(integerValue(architectureVariantId), kArchitectureVariantIdKey);
  coder.encodeObject(applicationPath, kApplicationPathKey);
  coder.encodeObject(osExceptionType, kOsExceptionTypeKey);
  coder.encodeObject(osExceptionCode, kOsExceptionCodeKey);
  coder.encodeObject(osExceptionAddress, kOsExceptionAddressKey);
  coder.encodeObject(exceptionType, kExceptionTypeKey);
  coder.encodeObject(exceptionReason, kExceptionReasonKey);
  coder.encodeObject(selectorRegisterValue, kSelectorRegisterValueKey);
  coder.encodeObject(objectsValue(threads), kThreadsKey);
  coder.encodeObject(objectsValue(binaries), kBinariesKey);
  coder.encodeObject(registers, kRegistersKey);
  coder.encodeObject(exception, kExceptionKey);
}

std::optional<foundation::Dictionary> TLAppleErrorLog::serializeToDictionary() const {
  auto dictionary = TLAbstractErrorLog::serializeToDictionary();
  if (!dictionary) return dictionary;
  if (primaryArchitectureId) dictionary->set(kPrimaryArchitectureIdKey, integerValue(primaryArchitectureId));
  if (architectureVariantId) dictionary->set(kArchitectureVariantIdKey, integerValue(architectureVariantId));
  if (applicationPath) dictionary->set(kApplicationPathKey, *applicationPath);
  if (osExceptionType) dictionary->set(kOsExceptionTypeKey, *osExceptionType);
  if (osExceptionCode) dictionary->set(kOsExceptionCodeKey, *osExceptionCode);
  if (osExceptionAddress) dictionary->set(kOsExceptionAddressKey, *osExceptionAddress);
  if (exceptionType) dictionary->set(kExceptionTypeKey, *exceptionType);
  if (exceptionReason) dictionary->set(kExceptionReasonKey, *exceptionReason);
  if (selectorRegisterValue) dictionary->set(kSelectorRegisterValueKey, *selectorRegisterValue);
  if (threads) dictionary->set(kThreadsKey, serializedList(*threads));
  if (binaries) dictionary->set(kBinariesKey, serializedList(*binaries));
  if (registers) dictionary->set(kRegistersKey, *registers);
  if (exception) {
    if (auto serialized = exception->serializeToDictionary()) dictionary->set(kExceptionKey, std::move(*serialized));
  }
  return dictionary;
}

bool TLAppleErrorLog::isValid() const {
  return TLAbstractErrorLog::isValid() && primaryArchitectureId && applicationPath && osExceptionType &&
         osExceptionCode && osExceptionAddress;
}

bool TLAppleErrorLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLAppleErrorLog*>(&other);
  return log && TLAbstractErrorLog::isEqual(other) && primaryArchitectureId == log->primaryArchitectureId &&
         architectureVariantId == log->architectureVariantId && applicationPath == log->applicationPath &&
         osExceptionType == log->osExceptionType && osExceptionCode == log->osExceptionCode &&
         osExceptionAddress == log->osExceptionAddress && exceptionType == log->exceptionType &&
         exceptionReason == log->exceptionReason && selectorRegisterValue == log->selectorRegisterValue &&
         sameObjects(threads, log->threads) && sameObjects(binaries, log->binaries) &&
         registers == log->registers && TLBothAbsentOrEqual(exception, log->exception);
}
