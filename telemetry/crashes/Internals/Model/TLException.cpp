#include "telemetry/crashes/Internals/Model/TLException.h"

#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kTypeKey = "type";
constexpr const char* kMessageKey = "message";
constexpr const char* kStackTraceKey = "stackTrace";
constexpr const char* kFramesKey = "frames";
constexpr const char* kInnerExceptionsKey = "innerExceptions";
constexpr const char* kWrapperSdkNameKey = "wrapperSdkName";

}  // namespace

using namespace TLErrorModelCoding;

TLException::TLException(foundation::KeyedUnarchiver& coder)
    : type(coder.decodeStringForKey(kTypeKey)),
      message(coder.decodeStringForKey(kMessageKey)),
      stackTrace(coder.decodeStringForKey(kStackTraceKey)),
      frames(decodeObjects<TLStackFrame>(coder, kFramesKey)),
      innerExceptions(decodeObjects<TLException>(coder, kInnerExceptionsKey)),
      wrapperSdkName(coder.decodeStringForKey(kWrapperSdkNameKey)) {}

void TLException::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(type, kTypeKey);
  coder.encodeObject(message, kMessageKey);
  coder.encodeObject(stackTrace, kStackTraceKey);
  coder.encodeObject(objectsValue(frames), kFramesKey);
  coder.encodeObject(objectsValue(innerExceptions), kInnerExceptionsKey);
  coder.encodeObject(wrapperSdkName, kWrapperSdkNameKey);
}

std::optional<foundation::Dictionary> TLException::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  if (type) dictionary.set(kTypeKey, *type);
  if (message) dictionary.set(kMessageKey, *message);
  if (stackTrace) dictionary.set(kStackTraceKey, *stackTrace);
  if (wrapperSdkName) dictionary.set(kWrapperSdkNameKey, *wrapperSdkName);
  if (frames) dictionary.set(kFramesKey, serializedList(*frames));
  if (innerExceptions) dictionary.set(kInnerExceptionsKey, serializedList(*innerExceptions));
  return dictionary;
}

bool TLException::isValid() const { return type && hasElements(frames); }

bool TLException::isEqual(const foundation::Object& other) const {
  const auto* exception = dynamic_cast<const TLException*>(&other);
  return exception && type == exception->type && message == exception->message &&
         stackTrace == exception->stackTrace && sameObjects(frames, exception->frames) &&
         sameObjects(innerExceptions, exception->innerExceptions) && wrapperSdkName == exception->wrapperSdkName;
}
