#include "platform/foundation/Set.h"

#include <functional>
#include <typeinfo>

namespace foundation {

namespace {

// A hash that agrees with Value equality: equal values hash alike. Numbers hash by their double
// value (1, 1.0 and true are equal); containers only by size, which is enough for sets of them.
std::size_t hashOf(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null: return 0x9e3779b9u;
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double: return std::hash<double>()(value.doubleValue());
    case Value::Type::String: return std::hash<std::string>()(value.stringValue());
    case Value::Type::Data: {
      const Data& data = value.dataValue();
      return std::hash<std::string_view>()(
          std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    }
    case Value::Type::Date: return std::hash<double>()(value.dateValue().timeIntervalSinceReferenceDate());
    case Value::Type::Array: return value.arrayValue().size() * 31 + 1;
    case Value::Type::Dictionary: return value.dictionaryValue().size() * 37 + 2;
    case Value::Type::Object: {
      const auto object = value.objectValue();
      if (!object) return 3;
      const Object& held = *object;  // typeid of a plain reference evaluates nothing
      return typeid(held).hash_code();
    }
  }
  return 0;
}

}  // namespace

Set::Set(const std::vector<Value>& elements) {
  for (const Value& element : elements) insert(element);
}

Set::Set(std::initializer_list<Value> elements) {
  for (const Value& element : elements) insert(element);
}

std::shared_ptr<Set> Set::make(const std::vector<Value>& elements) { return std::make_shared<Set>(elements); }

bool Set::containsHashed(const Value& value, std::size_t hash) const {
  const auto [first, last] = indexByHash_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (elements_[it->second] == value) return true;
  }
  return false;
}

void Set::insert(const Value& value) {
  const std::size_t hash = hashOf(value);
  if (containsHashed(value, hash)) return;
  indexByHash_.emplace(hash, elements_.size());
  elements_.push_back(value);
}

bool Set::contains(const Value& value) const { return containsHashed(value, hashOf(value)); }

Set Set::adding(const Value& value) const {
  Set copy = *this;
  copy.insert(value);
  return copy;
}

std::string Set::description() const {
  std::string out = "{(\n";
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    out += "    " + elements_[i].description();
    out += i + 1 < elements_.size() ? ",\n" : "\n";
  }
  return out + ")}";
}

bool Set::isEqual(const Object& other) const {
  const auto* set = dynamic_cast<const Set*>(&other);
  if (!set || set->count() != count()) return false;
  for (const Value& element : elements_) {
    if (!set->contains(element)) return false;
  }
  return true;
}

Value setValue(const std::vector<Value>& elements) { return Value(std::shared_ptr<Object>(Set::make(elements))); }

}  // namespace foundation
