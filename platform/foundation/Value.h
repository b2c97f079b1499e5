#pragma once
// Value stands in for the platform's property-list object graph (null, Booleans, numbers, strings,
// data, dates, arrays, dictionaries) plus opaque objects. It is what user-info dictionaries,
// JSON and property lists, user defaults and notification payloads carry.
//
// Values are plain C++ values: copying a Value copies its arrays and dictionaries. Data bytes and
// opaque objects are shared: bytes never change once in a Value, so a large body passes from
// thread to thread and into several containers without a copy. Dictionaries keep insertion order
// so that output built from them is deterministic. A Value is not safe to mutate from two threads
// at once; copies are independent.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Date.h"

namespace foundation {

class Value;
using Data = std::vector<std::uint8_t>;

// An object that a Value can hold by reference: an error, a URL, a managed object. Equality is by
// identity unless a subclass says otherwise.
class Object {
 public:
  virtual ~Object() = default;
  // Text in the platform's description style.
  virtual std::string description() const;
  virtual bool isEqual(const Object& other) const { return this == &other; }
};

// An ordered map from string keys to values (the platform's dictionaries keyed by strings).
// Setting an existing key replaces its value in place and keeps its position.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;

  Dictionary();
  Dictionary(std::initializer_list<Entry> entries);
  Dictionary(const Dictionary&);
  Dictionary(Dictionary&&) noexcept;
  Dictionary& operator=(const Dictionary&);
  Dictionary& operator=(Dictionary&&) noexcept;
  ~Dictionary();

  std::size_t size() const;
  bool empty() const;
  bool contains(const std::string& key) const;
  // The value for `key`, or nullptr when there is none.
  const Value* find(const std::string& key) const;
  Value* find(const std::string& key);
  // The value for `key`, or a null Value when there is none.
  const Value& get(const std::string& key) const;
  void set(const std::string& key, Value value);
  // Removes `key`; returns whether it was there.
  bool remove(const std::string& key);
  void clear();
  // Keys in insertion order.
  std::vector<std::string> keys() const;
  // Entries in insertion order.
  const std::vector<Entry>& entries() const;
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;

  bool operator==(const Dictionary& other) const;  // same keys and equal values, order ignored

 private:
  // Small dictionaries are searched linearly; larger ones keep a key index. Only the mutators
  // build or change it, so const calls write nothing and a dictionary no one changes can be read
  // from several threads at once.
  static constexpr std::size_t kIndexThreshold = 16;
  const Entry* lookup(const std::string& key) const;
  void rebuildIndex();
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;  // filled only from kIndexThreshold entries
};

using Array = std::vector<Value>;

class Value {
 public:
  enum class Type { Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary, Object };

  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : storage_(b) {}
  Value(int i) : storage_(static_cast<std::int64_t>(i)) {}
  Value(long i) : storage_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : storage_(static_cast<std::int64_t>(i)) {}
  Value(unsigned u) : storage_(static_cast<std::int64_t>(u)) {}
  Value(unsigned long u);
  Value(unsigned long long u);
  Value(double d) : storage_(d) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(std::string_view s) : storage_(std::string(s)) {}
  Value(foundation::Data d);
  // Shares `bytes`, which nobody may change afterwards; null gives a null Value.
  Value(std::shared_ptr<const foundation::Data> bytes);
  Value(foundation::Date d) : storage_(d) {}
  Value(foundation::Array a);
  Value(foundation::Dictionary d);
  Value(std::shared_ptr<Object> o);

  Value(const Value&);
  Value(Value&&) noexcept;
  Value& operator=(const Value&);
  Value& operator=(Value&&) noexcept;
  ~Value();

  Type type() const;
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  // True for Booleans too: the platform's Booleans are numbers.
  bool isNumber() const;
  bool isInteger() const { return type() == Type::Int || type() == Type::UInt; }
  bool isDouble() const { return type() == Type::Double; }
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isObject() const { return type() == Type::Object; }

  // Numeric readings in the platform's manner: numbers and Booleans convert; strings are parsed
  // leniently (leading number, else 0); anything else gives 0 / false.
  bool boolValue() const;
  std::int64_t intValue() const;
  std::uint64_t uintValue() const;
  double doubleValue() const;

  // Typed access; each returns the fallback (or an empty value) when the type differs.
  const std::string& stringValue() const;
  const foundation::Data& dataValue() const;
  // The bytes of a data Value, shared; null for other types.
  std::shared_ptr<const foundation::Data> sharedData() const;
  foundation::Date dateValue() const;
  const foundation::Array& arrayValue() const;
  const foundation::Dictionary& dictionaryValue() const;
  std::shared_ptr<Object> objectValue() const;
  template <typename T>
  std::shared_ptr<T> objectAs() const { return std::dynamic_pointer_cast<T>(objectValue()); }

  // Mutable access; converts a null Value into an empty container first. Undefined on other types.
  foundation::Array& mutableArray();
  foundation::Dictionary& mutableDictionary();

  // Dictionary shorthand: the value for `key` or null.
  const Value& operator[](const std::string& key) const;
  // Array shorthand: the element at `index` or null when out of range.
  const Value& operator[](std::size_t index) const;

  // The platform's description text: strings bare when plain and quoted otherwise, numbers in
  // their shortest form, arrays as "(\n    a,\n    b\n)", dictionaries as "{\n    k = v;\n}".
  std::string description() const;

  // Equality in the platform's manner: numbers (Booleans included) compare by value, containers
  // element by element, objects with isEqual.
  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  using Storage = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string,
                               std::shared_ptr<const foundation::Data>, foundation::Date,
                               std::unique_ptr<foundation::Array>, std::unique_ptr<foundation::Dictionary>,
                               std::shared_ptr<Object>>;
  Storage storage_;
  // Appends the description to `out`, nested `indent` levels deep.
  void describe(std::string& out, int indent) const;
};

// A shared null Value, for accessors that return references.
const Value& nullValue();

}  // namespace foundation
