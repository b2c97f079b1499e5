#pragma once
// Helpers shared by the error log model for the shapes its fields take that the keyed coder and
// the JSON writer do not handle in one call: optional integers, ordered lists of model objects,
// and their comparison. Stateless; each call works on what it is given.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Value.h"
#include "telemetry/core/Internals/Model/TLSerializableObject.h"

namespace TLErrorModelCoding {

// Fails the unarchiving under way with a corrupt-archive error saying `reason`.
void failDecode(foundation::KeyedUnarchiver& coder, const std::string& reason);

// The integer under `key`, nothing when absent or nil; a value that is not a whole number
// fails the unarchiving.
std::optional<std::int64_t> decodeInteger(foundation::KeyedUnarchiver& coder, const std::string& key);
// The date under `key`, nothing when absent or nil; another kind fails the unarchiving.
std::optional<foundation::Date> decodeDate(foundation::KeyedUnarchiver& coder, const std::string& key);
// The bytes under `key`, nothing when absent or nil; another kind fails the unarchiving.
std::optional<foundation::Data> decodeData(foundation::KeyedUnarchiver& coder, const std::string& key);
// The dictionary of texts under `key`, nothing when absent or nil; another kind, or a value that
// is not text, fails the unarchiving.
std::optional<foundation::Dictionary> decodeTexts(foundation::KeyedUnarchiver& coder, const std::string& key);

// An optional integer as a number Value, or null.
inline foundation::Value integerValue(const std::optional<std::int64_t>& number) {
  return number ? foundation::Value(static_cast<long long>(*number)) : foundation::Value();
}

// An object as a Value (null for none), for the coder.
template <class T>
foundation::Value objectValue(const std::shared_ptr<T>& object) {
  if (!object) return foundation::Value();
  return foundation::Value(std::static_pointer_cast<foundation::Object>(object));
}

// A list of model objects as an array of objects for the coder; null when the list is absent.
template <class T>
foundation::Value objectsValue(const std::optional<std::vector<std::shared_ptr<T>>>& list) {
  if (!list) return foundation::Value();
  foundation::Array array;
  array.reserve(list->size());
  for (const auto& element : *list) array.push_back(objectValue(element));
  return foundation::Value(std::move(array));
}

// The list of T under `key`, decoded with T's registered name; nothing when absent or nil. An
// element of another class (or nil) fails the unarchiving.
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> decodeObjects(foundation::KeyedUnarchiver& coder,
                                                             const std::string& key) {
  const auto name = foundation::CodingRegistry::classNameOf<T>();
  if (!name) {
    failDecode(coder, "A list holds a class that is not registered for archiving.");
    return std::nullopt;
  }
  const foundation::Value list = coder.decodeObjectOfClasses({foundation::ArchiveClass::Array, *name}, key);
  if (!list.isArray()) return std::nullopt;
  std::vector<std::shared_ptr<T>> objects;
  objects.reserve(list.arrayValue().size());
  for (const foundation::Value& element : list.arrayValue()) {
    auto object = element.objectAs<T>();
    if (!object) {
      failDecode(coder, "The list under \"" + key + "\" holds an element of another kind.");
      return std::nullopt;
    }
    objects.push_back(std::move(object));
  }
  return objects;
}

// The JSON form of a list: each element's dictionary, in order (an empty list gives []).
template <class T>
foundation::Array serializedList(const std::vector<std::shared_ptr<T>>& list) {
  foundation::Array array;
  array.reserve(list.size());
  for (const auto& element : list) {
    if (!element) continue;
    if (auto dictionary = element->serializeToDictionary()) array.push_back(std::move(*dictionary));
  }
  return array;
}

// Whether two optional lists are both absent, or of the same length with equal elements in order.
template <class T>
bool sameObjects(const std::optional<std::vector<std::shared_ptr<T>>>& a,
                 const std::optional<std::vector<std::shared_ptr<T>>>& b) {
  if (!a || !b) return !a && !b;
  if (a->size() != b->size()) return false;
  for (std::size_t i = 0; i < a->size(); ++i) {
    if (!TLBothAbsentOrEqual((*a)[i], (*b)[i])) return false;
  }
  return true;
}

// Whether an optional list is present and holds at least one element.
template <class T>
bool hasElements(const std::optional<std::vector<T>>& list) {
  return list && !list->empty();
}

}  // namespace TLErrorModelCoding
