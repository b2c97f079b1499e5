#include "telemetry/crashes/Internals/Model/TLThread.h"

#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kThreadIdKey = "id";
constexpr const char* kNameKey = "name";
constexpr const char* kFramesKey = "frames";
constexpr const char* kExceptionKey = "exception";

}  // namespace

using namespace TLErrorModelCoding;

TLThread::TLThread() : frames(std::vector<std::shared_ptr<TLStackFrame>>()) {}

TLThread::TLThread(foundation::KeyedUnarchiver& coder)
    : threadId(decodeInteger(coder, kThreadIdKey)),
      name(coder.decodeStringForKey(kNameKey)),
      frames(decodeObjects<TLStackFrame>(coder, kFramesKey)),
      exception(coder.decodeObjectOfClass<TLException>(kExceptionKey)) {}

void TLThread::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(integerValue(threadId), kThreadIdKey);
  coder.encodeObject(name, kNameKey);
  coder.encodeObject(objectsValue(frames), kFramesKey);
  coder.encodeObject(exception, kExceptionKey);
}

std::optional<foundation::Dictionary> TLThread::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  if (threadId) dictionary.set(kThreadIdKey, integerValue(threadId));
  if (name) dictionary.set(kNameKey, *name);
  if (frames) dictionary.set(kFramesKey, serializedList(*frames));
  if (exception) {
    if (auto serialized = exception->serializeToDictionary()) dictionary.set(kExceptionKey, std::move(*serialized));
  }
  return dictionary;
}

bool TLThread::isValid() const { return threadId && hasElements(frames); }

bool TLThread::isEqual(const foundation::Object& other) const {
  const auto* thread = dynamic_cast<const TLThread*>(&other);
  return thread && threadId == thread->threadId && name == thread->name && sameObjects(frames, thread->frames) &&
         TLBothAbsentOrEqual(exception, thread->exception);
}
