#pragma once
// Expression stands in for the platform's expressions: the operands of predicates and the
// computed properties of dictionary fetches. It covers constant values, the evaluated object
// (SELF), key paths, aggregates of expressions ("{1, 2}") and the functions "sum:", "count:",
// "min:", "max:" and "average:". Variables, subqueries and block expressions are left out.
//
// Expressions are immutable values; copies are cheap enough to pass around and are safe to read
// from any number of threads at once.
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace coredata {

// Error codes (Cocoa domain) that predicates and expressions report.
// A format text that does not parse, a substitution that does not fit, or a function that does
// not exist (the platform's formatting error).
inline constexpr long kPredicateFormatErrorCode = 2048;
// A key path that names a property the evaluated object does not have (the platform's
// key-value validation error).
inline constexpr long kKeyPathNotFoundErrorCode = 1024;

class Expression {
 public:
  enum class Type { ConstantValue, EvaluatedObject, KeyPath, Function, Aggregate };

  // The null constant.
  Expression();

  // A constant; a null Value is the platform's nil.
  static Expression constant(foundation::Value value);
  // The object being evaluated (SELF).
  static Expression evaluatedObject();
  // A dotted key path read through foundation::valueForKeyPath.
  static Expression keyPath(std::string keyPath);
  // A function applied to arguments. `name` is the platform's selector-style name ("sum:");
  // a name without the trailing colon ("sum") is taken as the same function. An unknown name
  // is accepted here and fails at evaluation with kPredicateFormatErrorCode.
  static Expression function(std::string name, std::vector<Expression> arguments);
  // A collection of expressions, evaluating to an array of their values.
  static Expression aggregate(std::vector<Expression> elements);

  // Whether `name` (with or without the trailing colon) is a function this stand-in evaluates.
  static bool isKnownFunction(const std::string& name);

  Type type() const { return type_; }
  // The constant (ConstantValue only; null otherwise).
  const foundation::Value& constantValue() const { return constant_; }
  // The key path (KeyPath only; empty otherwise).
  const std::string& keyPath() const { return text_; }
  // The function name with its trailing colon, e.g. "sum:" (Function only; empty otherwise).
  const std::string& function() const { return text_; }
  // The function's arguments or the aggregate's elements.
  const std::vector<Expression>& arguments() const { return arguments_; }

  // Evaluates against `object` (SELF). Key paths read the object; when `object` is an array of
  // objects a key path gives the array of each element's value, which is how a function
  // aggregates over a set of fetched objects. Function results on an empty collection: sum: and
  // count: give 0, min:, max: and average: give null. Null elements are skipped by every function.
  // On failure (an unknown key on a KeyValueCoding object, an unknown function, a non-numeric
  // argument to sum:/average:) sets `*error` when given and returns null.
  foundation::Value expressionValueWithObject(const foundation::Value& object,
                                              foundation::Error* error = nullptr) const;

  // The platform's text: "amount", "SELF", "\"text\"", "5", "nil", "{1, 2}", "sum:(amount)".
  std::string description() const;

  // Appends every key path this expression reads (functions' and aggregates' too), without
  // duplicates, in order of first appearance.
  void collectKeyPaths(std::vector<std::string>& keyPaths) const;

  bool operator==(const Expression& other) const;

 private:
  Type type_ = Type::ConstantValue;
  foundation::Value constant_;
  std::string text_;
  std::vector<Expression> arguments_;
};

// ExpressionDescription stands in for the platform's expression description: a named computed
// property of a dictionary fetch, with the attribute type its result is converted to.
class ExpressionDescription {
 public:
  // Result type codes: the platform's attribute types.
  static constexpr unsigned long kUndefined = 0;
  static constexpr unsigned long kInteger16 = 100;
  static constexpr unsigned long kInteger32 = 200;
  static constexpr unsigned long kInteger64 = 300;
  static constexpr unsigned long kDecimal = 400;
  static constexpr unsigned long kDouble = 500;
  static constexpr unsigned long kFloat = 600;
  static constexpr unsigned long kString = 700;
  static constexpr unsigned long kBoolean = 800;
  static constexpr unsigned long kDate = 900;
  static constexpr unsigned long kBinaryData = 1000;

  ExpressionDescription() = default;
  ExpressionDescription(std::string name, Expression expression, unsigned long resultType = kUndefined)
      : name_(std::move(name)), expression_(std::move(expression)), resultType_(resultType) {}

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const Expression& expression() const { return expression_; }
  void setExpression(Expression expression) { expression_ = std::move(expression); }
  unsigned long expressionResultType() const { return resultType_; }
  void setExpressionResultType(unsigned long type) { resultType_ = type; }

  // Converts a computed number to the result type: integer codes give integers (truncating),
  // decimal/double/float give doubles, boolean gives a Boolean. Other values, and every value
  // when the type is undefined or not numeric, come back unchanged. Null stays null.
  foundation::Value convertResult(const foundation::Value& value) const;

 private:
  std::string name_;
  Expression expression_;
  unsigned long resultType_ = kUndefined;
};

// One entry of a dictionary fetch's properties: an attribute key path, or a computed property.
using PropertyToFetch = std::variant<std::string, ExpressionDescription>;

// Builds the dictionary results of a fetch over `objects` (already filtered and sorted).
// Each dictionary holds, per property, the key path's value under the key path, or the computed
// value under the description's name; null values are left out, as the platform's dictionaries
// cannot hold them.
// - With `groupBy` key paths: one dictionary per distinct combination of the group-by values,
//   in order of first appearance; key paths read the group's first object, functions aggregate
//   over the group's objects.
// - Without `groupBy`, when any property is a function expression: one dictionary aggregating
//   over all objects (also when there are none).
// - Otherwise: one dictionary per object.
// On failure (see Expression::expressionValueWithObject) sets `*error` when given and returns
// nothing.
std::optional<std::vector<foundation::Dictionary>> dictionaryResults(
    const foundation::Array& objects, const std::vector<PropertyToFetch>& properties,
    const std::vector<std::string>& groupBy, foundation::Error* error = nullptr);

}  // namespace coredata
