#include "platform/coredata/Expression.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/coredata/PredicateParser.h"
#include "platform/coredata/SortDescriptor.h"
#include "platform/foundation/KeyValueCoding.h"

namespace coredata {

namespace {

const char* const kFunctions[] = {"sum:", "count:", "min:", "max:", "average:"};

std::string canonicalFunctionName(std::string name) {
  if (!name.empty() && name.back() != ':') name += ':';
  return name;
}

void setError(foundation::Error* error, long code, const std::string& message) {
  if (error) *error = foundation::Error::withDescription(foundation::kCocoaErrorDomain, code, message);
}

std::string quoteString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string formatDate(const foundation::Date& date) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "CAST(%.6f, \"NSDate\")", date.timeIntervalSinceReferenceDate());
  return buffer;
}

std::string describeConstant(const foundation::Value& value) {
  switch (value.type()) {
    case foundation::Value::Type::Null: return "nil";
    case foundation::Value::Type::String: return quoteString(value.stringValue());
    case foundation::Value::Type::Date: return formatDate(value.dateValue());
    case foundation::Value::Type::Array: {
      std::string out = "{";
      const foundation::Array& elements = value.arrayValue();
      for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i) out += ", ";
        out += describeConstant(elements[i]);
      }
      return out + "}";
    }
    default: return value.description();
  }
}

// A key path as the format language reads it back: keys named like keywords get a "#".
std::string describeKeyPath(const std::string& keyPath) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = keyPath.find('.', start);
    std::string key = keyPath.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (PredicateParser::isReservedWord(key)) out += '#';
    out += key;
    if (dot == std::string::npos) return out;
    out += '.';
    start = dot + 1;
  }
}

// The elements a function works on: an array's elements, nothing for null, or the value itself.
foundation::Array collectionOf(const foundation::Value& value) {
  if (value.isArray()) return value.arrayValue();
  if (value.isNull()) return {};
  return {value};
}

std::optional<foundation::Value> sumOf(const foundation::Array& elements, bool* sawNumber,
                                       std::size_t* count, foundation::Error* error) {
  std::int64_t integerSum = 0;
  double doubleSum = 0;
  bool useDouble = false;
  *count = 0;
  for (const foundation::Value& element : elements) {
    if (element.isNull()) continue;
    if (!element.isNumber()) {
      setError(error, kPredicateFormatErrorCode,
               "Can't compute a sum or average of non-numeric value " + element.description());
      return std::nullopt;
    }
    ++*count;
    doubleSum += element.doubleValue();
    if (element.isDouble() || element.type() == foundation::Value::Type::UInt) {
      useDouble = true;
    } else if (__builtin_add_overflow(integerSum, element.intValue(), &integerSum)) {
      useDouble = true;  // an overflowing integer sum is kept exact as far as a double allows
    }
  }
  *sawNumber = *count > 0;
  if (useDouble) return foundation::Value(doubleSum);
  return foundation::Value(static_cast<long long>(integerSum));
}

foundation::Value extremeOf(const foundation::Array& elements, int sign) {
  const foundation::Value* best = nullptr;
  for (const foundation::Value& element : elements) {
    if (element.isNull()) continue;
    if (!best || compareValues(element, *best) * sign > 0) best = &element;
  }
  return best ? *best : foundation::Value();
}

std::optional<foundation::Value> applyFunction(const std::string& name, const foundation::Array& elements,
                                               foundation::Error* error) {
  if (name == "count:") {
    long long count = 0;
    for (const foundation::Value& element : elements) count += element.isNull() ? 0 : 1;
    return foundation::Value(count);
  }
  if (name == "min:") return extremeOf(elements, -1);
  if (name == "max:") return extremeOf(elements, 1);
  bool sawNumber = false;
  std::size_t count = 0;
  auto sum = sumOf(elements, &sawNumber, &count, error);
  if (!sum) return std::nullopt;
  if (name == "sum:") return sum;
  if (!sawNumber) return foundation::Value();
  return foundation::Value(sum->doubleValue() / static_cast<double>(count));
}

// Reads a key path; a trailing "@count" counts the collection before it.
foundation::Value readKeyPath(const foundation::Value& object, const std::string& keyPath, bool* known) {
  static const std::string kCount = "@count";
  if (keyPath == kCount) return foundation::Value(static_cast<long long>(collectionOf(object).size()));
  if (keyPath.size() > kCount.size() && keyPath.ends_with("." + kCount)) {
    foundation::Value collection =
        foundation::valueForKeyPath(object, keyPath.substr(0, keyPath.size() - kCount.size() - 1), known);
    return foundation::Value(static_cast<long long>(collectionOf(collection).size()));
  }
  return foundation::valueForKeyPath(object, keyPath, known);
}

}  // namespace

Expression::Expression() = default;

Expression Expression::constant(foundation::Value value) {
  Expression e;
  e.constant_ = std::move(value);
  return e;
}

Expression Expression::evaluatedObject() {
  Expression e;
  e.type_ = Type::EvaluatedObject;
  return e;
}

Expression Expression::keyPath(std::string keyPath) {
  Expression e;
  e.type_ = Type::KeyPath;
  e.text_ = std::move(keyPath);
  return e;
}

Expression Expression::function(std::string name, std::vector<Expression> arguments) {
  Expression e;
  e.type_ = Type::Function;
  e.text_ = canonicalFunctionName(std::move(name));
  e.arguments_ = std::move(arguments);
  return e;
}

Expression Expression::aggregate(std::vector<Expression> elements) {
  Expression e;
  e.type_ = Type::Aggregate;
  e.arguments_ = std::move(elements);
  return e;
}

bool Expression::isKnownFunction(const std::string& name) {
  std::string canonical = canonicalFunctionName(name);
  for (const char* known : kFunctions) {
    if (canonical == known) return true;
  }
  return false;
}

foundation::Value Expression::expressionValueWithObject(const foundation::Value& object,
                                                        foundation::Error* error) const {
  switch (type_) {
    case Type::ConstantValue: return constant_;
    case Type::EvaluatedObject: return object;
    case Type::KeyPath: {
      bool known = true;
      foundation::Value value = readKeyPath(object, text_, &known);
      if (!known) {
        setError(error, kKeyPathNotFoundErrorCode, "keypath " + text_ + " not found in entity");
        return foundation::Value();
      }
      return value;
    }
    case Type::Aggregate: {
      foundation::Array values;
      for (const Expression& element : arguments_) {
        foundation::Error elementError;
        values.push_back(element.expressionValueWithObject(object, &elementError));
        if (!elementError.domain().empty()) {
          if (error) *error = elementError;
          return foundation::Value();
        }
      }
      return foundation::Value(std::move(values));
    }
    case Type::Function: {
      if (!isKnownFunction(text_)) {
        setError(error, kPredicateFormatErrorCode, "Unsupported function " + text_);
        return foundation::Value();
      }
      if (arguments_.size() != 1) {
        setError(error, kPredicateFormatErrorCode,
                 "The function " + text_ + " takes one argument, not " + std::to_string(arguments_.size()));
        return foundation::Value();
      }
      foundation::Error argumentError;
      foundation::Value argument = arguments_[0].expressionValueWithObject(object, &argumentError);
      if (!argumentError.domain().empty()) {
        if (error) *error = argumentError;
        return foundation::Value();
      }
      auto result = applyFunction(text_, collectionOf(argument), error);
      return result ? *result : foundation::Value();
    }
  }
  return foundation::Value();
}

std::string Expression::description() const {
  switch (type_) {
    case Type::ConstantValue: return describeConstant(constant_);
    case Type::EvaluatedObject: return "SELF";
    case Type::KeyPath: return describeKeyPath(text_);
    case Type::Aggregate:
    case Type::Function: {
      std::string out = type_ == Type::Function ? text_ + "(" : "{";
      for (std::size_t i = 0; i < arguments_.size(); ++i) {
        if (i) out += ", ";
        out += arguments_[i].description();
      }
      return out + (type_ == Type::Function ? ")" : "}");
    }
  }
  return {};
}

void Expression::collectKeyPaths(std::vector<std::string>& keyPaths) const {
  if (type_ == Type::KeyPath) {
    for (const std::string& known : keyPaths) {
      if (known == text_) return;
    }
    keyPaths.push_back(text_);
    return;
  }
  for (const Expression& argument : arguments_) argument.collectKeyPaths(keyPaths);
}

bool Expression::operator==(const Expression& other) const {
  return type_ == other.type_ && constant_ == other.constant_ && text_ == other.text_ &&
         arguments_ == other.arguments_;
}

foundation::Value ExpressionDescription::convertResult(const foundation::Value& value) const {
  if (!value.isNumber()) return value;
  switch (resultType_) {
    case kInteger16:
    case kInteger32:
    case kInteger64: {
      if (!value.isDouble()) return value.isBool() ? foundation::Value(static_cast<long long>(value.intValue())) : value;
      double d = value.doubleValue();
      if (!std::isfinite(d)) return foundation::Value(0);
      d = std::trunc(d);
      if (d >= 9223372036854775807.0) return foundation::Value(std::numeric_limits<long long>::max());
      if (d <= -9223372036854775808.0) return foundation::Value(std::numeric_limits<long long>::min());
      return foundation::Value(static_cast<long long>(d));
    }
    case kDecimal:
    case kDouble:
    case kFloat: return foundation::Value(value.doubleValue());
    case kBoolean: return foundation::Value(value.doubleValue() != 0);
    default: return value;
  }
}

namespace {

bool isAggregating(const PropertyToFetch& property) {
  const auto* description = std::get_if<ExpressionDescription>(&property);
  return description && description->expression().type() == Expression::Type::Function;
}

// One dictionary for `group` (objects that share their group-by values, or all objects).
std::optional<foundation::Dictionary> resultForGroup(const foundation::Array& group,
                                                     const std::vector<PropertyToFetch>& properties,
                                                     foundation::Error* error) {
  foundation::Dictionary result;
  const foundation::Value first = group.empty() ? foundation::Value() : group.front();
  for (const PropertyToFetch& property : properties) {
    foundation::Error failure;
    if (const auto* keyPath = std::get_if<std::string>(&property)) {
      foundation::Value value = Expression::keyPath(*keyPath).expressionValueWithObject(first, &failure);
      if (!failure.domain().empty()) {
        if (error) *error = failure;
        return std::nullopt;
      }
      if (!value.isNull()) result.set(*keyPath, std::move(value));
      continue;
    }
    const auto& description = std::get<ExpressionDescription>(property);
    // Functions aggregate over the whole group; anything else reads the group's first object.
    foundation::Value self = isAggregating(property) ? foundation::Value(group) : first;
    foundation::Value value = description.expression().expressionValueWithObject(self, &failure);
    if (!failure.domain().empty()) {
      if (error) *error = failure;
      return std::nullopt;
    }
    value = description.convertResult(value);
    if (!value.isNull()) result.set(description.name(), std::move(value));
  }
  return result;
}

std::optional<std::vector<foundation::Array>> groupObjects(const foundation::Array& objects,
                                                           const std::vector<std::string>& groupBy,
                                                           foundation::Error* error) {
  std::vector<foundation::Array> keys;
  std::vector<foundation::Array> groups;
  for (const foundation::Value& object : objects) {
    foundation::Array key;
    for (const std::string& keyPath : groupBy) {
      foundation::Error failure;
      key.push_back(Expression::keyPath(keyPath).expressionValueWithObject(object, &failure));
      if (!failure.domain().empty()) {
        if (error) *error = failure;
        return std::nullopt;
      }
    }
    std::size_t index = 0;
    while (index < keys.size() && !(keys[index] == key)) ++index;
    if (index == keys.size()) {
      keys.push_back(std::move(key));
      groups.emplace_back();
    }
    groups[index].push_back(object);
  }
  return groups;
}

}  // namespace

std::optional<std::vector<foundation::Dictionary>> dictionaryResults(
    const foundation::Array& objects, const std::vector<PropertyToFetch>& properties,
    const std::vector<std::string>& groupBy, foundation::Error* error) {
  std::vector<foundation::Array> groups;
  if (!groupBy.empty()) {
    auto grouped = groupObjects(objects, groupBy, error);
    if (!grouped) return std::nullopt;
    groups = std::move(*grouped);
  } else if (std::any_of(properties.begin(), properties.end(), isAggregating)) {
    groups.push_back(objects);
  } else {
    for (const foundation::Value& object : objects) groups.push_back({object});
  }
  std::vector<foundation::Dictionary> results;
  for (const foundation::Array& group : groups) {
    auto result = resultForGroup(group, properties, error);
    if (!result) return std::nullopt;
    results.push_back(std::move(*result));
  }
  return results;
}

}  // namespace coredata
