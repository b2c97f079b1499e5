#pragma once
// The two protocols of every telemetry model object: TLSerializableObject is archivable and
// turns itself into a JSON-ready dictionary; TLModel answers whether it is complete enough to
// be sent.
#include <memory>
#include <optional>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Value.h"

class TLSerializableObject : public foundation::Coding {
 public:
  // A new dictionary of the object's present fields, ready for the JSON writer; absent fields
  // leave their keys out. Nothing when the object has nothing to write (only some kinds answer
  // that). Owned by the caller.
  virtual std::optional<foundation::Dictionary> serializeToDictionary() const = 0;
};

class TLModel {
 public:
  virtual ~TLModel() = default;
  // Whether the object holds every field its receiver requires. Only answers.
  virtual bool isValid() const = 0;
};

// Whether two model objects are both absent, or both present and equal by isEqual.
template <class T>
bool TLBothAbsentOrEqual(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  if (!a || !b) return !a && !b;
  return a->isEqual(*b);
}
