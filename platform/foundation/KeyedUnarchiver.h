#pragma once
// KeyedUnarchiver stands in for the platform's keyed unarchiver: it reads the bytes written by
// KeyedArchiver back into Values and objects, and is handed to each object's factory (see
// CodingRegistry) positioned on that object's record.
//
// Stored bytes may be truncated, corrupt or hostile. Unarchiving then fails with an error and
// never crashes: only registered classes are rebuilt; references must point into the table;
// an object that refers to itself while it is being rebuilt, nesting deeper than 256, and a
// result far larger than the bytes it came from (more than 64 times, beyond the first MiB; every
// value decoded counts, nil and shared ones too, at about the memory it takes) all fail. The first failure ends the whole unarchiving: later decode calls answer null, zero or
// false, and the top-level call answers nothing with the error.
//
// Secure decoding (unarchivedObjectOfClass and its plural) rebuilds only classes that support
// secure coding, and only where the caller asked for that class or one of its superclasses; the
// built-in kinds (strings, numbers, data, dates, arrays, sets, dictionaries, null) are always
// allowed as elements of containers. In both modes, a keyed decodeObjectOfClass refuses a value
// of another class.
//
// An unarchiver lives only inside the top-level call and is used by one thread.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"  // the coder error codes
#include "platform/foundation/Value.h"

namespace foundation {

class KeyedUnarchiver {
 public:
  using ClassList = std::vector<std::string_view>;

  // The root object of the archive in `data`, rebuilding any registered class. Answers nothing
  // and sets *error (when given) to a Cocoa-domain error with code kCoderReadCorruptError when
  // the bytes are not such an archive or any object in it fails to decode. A nil root answers a
  // null Value. Never throws; an exception thrown by a factory fails the unarchiving. Thread-safe.
  static std::optional<Value> unarchiveObjectWithData(const Data& data, Error* error = nullptr);

  // The root object, decoded securely as one of `classes`; fails as above, and when the root or
  // any object inside it is of a class that was not asked for or does not support secure coding.
  static std::optional<Value> unarchivedObjectOfClasses(const ClassList& classes, const Data& data,
                                                        Error* error = nullptr);
  static std::optional<Value> unarchivedObjectOfClass(std::string_view className, const Data& data,
                                                      Error* error = nullptr) {
    return unarchivedObjectOfClasses({className}, data, error);
  }
  // The root as a T (a registered Coding class), decoded securely; null on any failure.
  template <class T>
  static std::shared_ptr<T> unarchivedObjectOfClass(const Data& data, Error* error = nullptr) {
    const auto name = CodingRegistry::classNameOf<T>();
    if (!name) {
      if (error) *error = unregisteredRequest();
      return nullptr;
    }
    const auto value = unarchivedObjectOfClass(*name, data, error);
    return value ? value->template objectAs<T>() : nullptr;
  }

  KeyedUnarchiver(const KeyedUnarchiver&) = delete;
  KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

  // ---- For factories: reading the fields of the object being rebuilt ----

  // Whether the object's record has `key` (an explicit nil counts).
  bool containsValueForKey(const std::string& key) const;
  // The object under `key`; null when absent or nil. In a secure decode it must be of one of the
  // classes the top-level call asked for (or a built-in kind).
  Value decodeObjectForKey(const std::string& key);
  // The object under `key`, which must be of `className` (a built-in kind from ArchiveClass or a
  // registered class) or a subclass; null when absent or nil. Another class fails the decode.
  Value decodeObjectOfClass(std::string_view className, const std::string& key);
  Value decodeObjectOfClasses(const ClassList& classes, const std::string& key);
  // The object under `key` as a T (a registered Coding class); null when absent or nil.
  template <class T>
  std::shared_ptr<T> decodeObjectOfClass(const std::string& key) {
    const auto name = CodingRegistry::classNameOf<T>();
    if (!name) {
      failWithError(unregisteredRequest());
      return nullptr;
    }
    return decodeObjectOfClass(*name, key).template objectAs<T>();
  }
  // The string under `key`, or nothing when absent or nil; a value of another kind fails.
  std::optional<std::string> decodeStringForKey(const std::string& key);

  // Numbers written with encodeBool, encodeInt64 or encodeDouble (or as number objects), read
  // with the usual conversions; 0 or false when the key is absent. A value that is not a number,
  // or a double outside the 64-bit range for decodeInt64, fails the decode.
  bool decodeBoolForKey(const std::string& key);
  std::int64_t decodeInt64ForKey(const std::string& key);
  std::int64_t decodeIntegerForKey(const std::string& key) { return decodeInt64ForKey(key); }
  double decodeDoubleForKey(const std::string& key);

  // The next object written without a key (KeyedArchiver's unkeyed encodeObject), null when
  // there are no more.
  Value decodeObject();
  // The same, where the object must be of one of `classes` (objects inside a container too, in a
  // secure decode); another class fails the decode.
  Value decodeObjectOfClasses(const ClassList& classes);

  // Whether this is a secure decode.
  bool requiresSecureCoding() const;
  // Fails the whole unarchiving with `error` (the first failure is the one reported).
  void failWithError(const Error& error);
  // The failure so far, if any.
  std::optional<Error> error() const;

 private:
  KeyedUnarchiver();
  ~KeyedUnarchiver();
  static Error unregisteredRequest();
  static std::optional<Value> unarchive(const Data& data, const ClassList* classes, Error* error);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace foundation
