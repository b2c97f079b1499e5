#pragma once
// KeyValueCoding stands in for the platform's access to an object's properties by name. Predicates,
// sort descriptors and expressions read objects through it; managed objects implement it.
#include <string>

#include "platform/foundation/Value.h"

namespace foundation {

class KeyValueCoding {
 public:
  virtual ~KeyValueCoding() = default;
  // The value of the property `key`, or null when the object has no such property.
  virtual Value valueForKey(const std::string& key) const = 0;
  // Whether the object has a property `key` at all (unknown keys are errors for fetches).
  virtual bool hasKey(const std::string& key) const = 0;
};

// The value at a dotted key path ("a.b.c") of `root`: dictionaries are read by key, objects that
// implement KeyValueCoding through valueForKey, arrays element-wise (giving an array). Missing
// steps give null; `known`, when given, is set false if a step names a property that does not exist.
Value valueForKeyPath(const Value& root, const std::string& keyPath, bool* known = nullptr);

}  // namespace foundation
