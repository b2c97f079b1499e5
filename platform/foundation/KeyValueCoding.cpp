#include "platform/foundation/KeyValueCoding.h"

namespace foundation {

namespace {

Value valueForKeyStep(const Value& value, const std::string& key, bool* known) {
  switch (value.type()) {
    case Value::Type::Dictionary:
      return value[key];
    case Value::Type::Object: {
      auto coding = value.objectAs<KeyValueCoding>();
      if (!coding || !coding->hasKey(key)) {
        if (known) *known = false;
        return Value();
      }
      return coding->valueForKey(key);
    }
    case Value::Type::Array: {
      Array result;
      for (const Value& element : value.arrayValue()) result.push_back(valueForKeyStep(element, key, known));
      return Value(std::move(result));
    }
    default:
      return Value();
  }
}

}  // namespace

Value valueForKeyPath(const Value& root, const std::string& keyPath, bool* known) {
  if (known) *known = true;
  Value current = root;
  std::size_t start = 0;
  while (start <= keyPath.size()) {
    std::size_t dot = keyPath.find('.', start);
    std::string key = keyPath.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    current = valueForKeyStep(current, key, known);
    if (dot == std::string::npos) break;
    if (current.isNull()) return current;
    start = dot + 1;
  }
  return current;
}

}  // namespace foundation
