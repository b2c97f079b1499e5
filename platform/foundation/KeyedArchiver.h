#pragma once
// KeyedArchiver stands in for the platform's keyed archiver: it turns a graph of Values and
// archivable objects (Coding) into bytes that KeyedUnarchiver reads back. Every kind a Value
// holds survives the trip: null, Booleans, 64-bit integers (signed and unsigned), doubles,
// strings (invalid UTF-8 and NUL characters included), data, dates at full double precision,
// arrays, sets (foundation::Set), dictionaries, and objects of registered classes with their
// keyed fields, nested to a depth of 256. An object reachable twice is written once and comes
// back shared.
//
// The bytes are a binary property list: a table of objects ("$objects"), each object a record
// with its class ("$class") and its fields, objects referring to each other by table index, and
// the root under "$top". Keys beginning with "$" are escaped, so any key is allowed.
//
// An archiver lives only inside archivedDataWithRootObject and is handed to encodeWithCoder;
// it is used by one thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace foundation {

// The platform's coder error codes (Cocoa domain).
inline constexpr long kCoderReadCorruptError = 4864;
inline constexpr long kCoderValueNotFoundError = 4865;
inline constexpr long kCoderInvalidValueError = 4866;

class KeyedArchiver {
 public:
  // The archive of `rootObject`. Fails, answering nothing and setting *error (when given) to a
  // Cocoa-domain error with code kCoderInvalidValueError, when the graph holds an object whose
  // class is not registered, an object that contains itself, or nesting deeper than 256.
  // Never throws; an exception thrown by an encodeWithCoder fails the archiving the same way.
  // Thread-safe (each call has its own archiver).
  static std::optional<Data> archivedDataWithRootObject(const Value& rootObject, Error* error = nullptr);
  template <class T>
  static std::optional<Data> archivedDataWithRootObject(const std::shared_ptr<T>& rootObject, Error* error = nullptr) {
    return archivedDataWithRootObject(objectValue(rootObject), error);
  }

  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;

  // Writes `object` under `key` of the object being encoded; a null Value is written as an
  // explicit nil (containsValueForKey answers true, decodeObjectForKey null). Writing a key
  // twice keeps the last value.
  void encodeObject(const Value& object, const std::string& key);
  template <class T>
  void encodeObject(const std::shared_ptr<T>& object, const std::string& key) {
    encodeObject(objectValue(object), key);
  }
  // An absent optional is written as nil.
  template <class T>
  void encodeObject(const std::optional<T>& object, const std::string& key) {
    encodeObject(object ? Value(*object) : Value(), key);
  }
  void encodeBool(bool value, const std::string& key);
  void encodeInt64(std::int64_t value, const std::string& key);
  void encodeInteger(std::int64_t value, const std::string& key) { encodeInt64(value, key); }
  void encodeDouble(double value, const std::string& key);

  // Writes `object` without a key, after the unkeyed objects already written for the object
  // being encoded; KeyedUnarchiver::decodeObject reads them back in the same order.
  void encodeObject(const Value& object);
  // The same as the unkeyed encodeObject, under the platform's other name for it.
  void encodeRootObject(const Value& object) { encodeObject(object); }

  // Always true: every coder here is keyed.
  bool allowsKeyedCoding() const { return true; }

 private:
  KeyedArchiver();
  ~KeyedArchiver();

  template <class T>
  static Value objectValue(const std::shared_ptr<T>& object) {
    if (!object) return Value();
    return Value(std::static_pointer_cast<Object>(std::const_pointer_cast<std::remove_const_t<T>>(object)));
  }

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace foundation
