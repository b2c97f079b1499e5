#include "telemetry/crashes/Internals/Model/TLAbstractErrorLog.h"

#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kErrorIdKey = "id";
constexpr const char* kProcessIdKey = "processId";
constexpr const char* kProcessNameKey = "processName";
constexpr const char* kParentProcessIdKey = "parentProcessId";
constexpr const char* kParentProcessNameKey = "parentProcessName";
constexpr const char* kErrorThreadIdKey = "errorThreadId";
constexpr const char* kErrorThreadNameKey = "errorThreadName";
constexpr const char* kFatalKey = "fatal";
constexpr const char* kAppLaunchTimestampKey = "appLaunchTimestamp";
constexpr const char* kArchitectureKey = "architecture";

}  // namespace

using namespace TLErrorModelCoding;

TLAbstractErrorLog::TLAbstractErrorLog(foundation::KeyedUnarchiver& coder)
    : TLLogWithProperties(coder),
      errorId(coder.decodeStringForKey(kErrorIdKey)),
      processId(decodeInteger(coder, kProcessIdKey)),
      processName(coder.decodeStringForKey(kProcessNameKey)),
      parentProcessId(decodeInteger(coder, kParentProcessIdKey)),
      parentProcessName(coder.decodeStringForKey(kParentProcessNameKey)),
      errorThreadId(decodeInteger(coder, kErrorThreadIdKey)),
      errorThreadName(coder.decodeStringForKey(kErrorThreadNameKey)),
      fatal(coder.decodeBoolForKey(kFatalKey)),
      appLaunchTimestamp(decodeDate(coder, kAppLaunchTimestampKey)),
      architecture(coder.decodeStringForKey(kArchitectureKey)) {}

void TLAbstractErrorLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLLogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(errorId, kErrorIdKey);
  coder.encodeObject(integerValue(processId), kProcessIdKey);
  coder.encodeObject(processName, kProcessNameKey);
  coder.encodeObject(integerValue(parentProcessId), kParentProcessIdKey);
  coder.encodeObject(parentProcessName, kParentProcessNameKey);
  coder.encodeObject(integerValue(errorThreadId), kErrorThreadIdKey);
  coder.encodeObject(errorThreadName, kErrorThreadNameKey);
  coder.encodeBool(fatal, kFatalKey);
  coder.encodeObject(appLaunchTimestamp, kAppLaunchTimestampKey);
  coder.encodeObject(architecture, kArchitectureKey);
}

std::optional<foundation::Dictionary> TLAbstractErrorLog::serializeToDictionary() const {
  auto dictionary = TLLogWithProperties::serializeToDictionary();
  if (!dictionary) return dictionary;
  if (errorId) dictionary->set(kErrorIdKey, *errorId);
  if (processId) dictionary->set(kProcessIdKey, integerValue(processId));
  if (processName) dictionary->set(kProcessNameKey, *processName);
  if (parentProcessId) dictionary->set(kParentProcessIdKey, integerValue(parentProcessId));
  if (parentProcessName) dictionary->set(kParentProcessNameKey, *parentProcessName);
  if (errorThreadId) dictionary->set(kErrorThreadIdKey, integerValue(errorThreadId));
  if (errorThreadName) dictionary->set(kErrorThreadNameKey, *errorThreadName);
  dictionary->set(kFatalKey, fatal);
  if (appLaunchTimestamp) dictionary->set(kAppLaunchTimestampKey, TLUtility::dateToISO8601(*appLaunchTimestamp));
  if (architecture) dictionary->set(kArchitectureKey, *architecture);
  return dictionary;
}

bool TLAbstractErrorLog::isValid() const {
  return TLLogWithProperties::isValid() && errorId && processId && processName;
}

bool TLAbstractErrorLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLAbstractErrorLog*>(&other);
  return log && TLLogWithProperties::isEqual(other) && errorId == log->errorId && processId == log->processId &&
         processName == log->processName && parentProcessId == log->parentProcessId &&
         parentProcessName == log->parentProcessName && errorThreadId == log->errorThreadId &&
         errorThreadName == log->errorThreadName && fatal == log->fatal &&
         appLaunchTimestamp == log->appLaunchTimestamp && architecture == log->architecture;
}
