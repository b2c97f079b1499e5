#pragma once
// Predicate stands in for the platform's predicates: the filter of a fetch request, written in
// the platform's format language or built in code. It covers comparison predicates (==, !=, <,
// <=, >, >=, BEGINSWITH, ENDSWITH, CONTAINS, LIKE, MATCHES, IN, BETWEEN with the [c] and [d]
// options and the ANY/ALL/NONE modifiers), AND/OR/NOT compounds and TRUEPREDICATE/
// FALSEPREDICATE. Variables ($name) and SUBQUERY are left out and fail to parse.
//
// Predicates are immutable values sharing their tree; copies are cheap, and one predicate may be
// evaluated from many threads at once as long as the objects it reads allow it.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coredata/Expression.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace coredata {

enum class ComparisonOperator {
  LessThan,
  LessThanOrEqualTo,
  GreaterThan,
  GreaterThanOrEqualTo,
  EqualTo,
  NotEqualTo,
  Matches,
  Like,
  BeginsWith,
  EndsWith,
  In,
  Contains,
  Between,
};

// How a comparison treats a collection on its left: Direct compares the value itself; Any is
// true when some element satisfies the comparison, All when every element does.
enum class ComparisonModifier { Direct, Any, All };

// Option bits of a comparison: [c], [d] and [n] in the format language.
struct ComparisonOption {
  static constexpr unsigned kNone = 0;
  static constexpr unsigned kCaseInsensitive = 1;
  static constexpr unsigned kDiacriticInsensitive = 2;
  static constexpr unsigned kNormalized = 4;
};

class Predicate {
 public:
  enum class Type { True, False, Comparison, And, Or, Not };

  // TRUEPREDICATE.
  Predicate();

  // Parses `format`, substituting `arguments` in order: "%@" takes a value as a constant (null
  // is nil, an array is a collection), "%K" takes a string value as a key path, "%d"/"%i"/"%u"/
  // "%c" (with "l", "ll", "h" or "q" length modifiers) an integer, "%f"/"%g"/"%e" a double, "%s" a
  // string constant. Arguments beyond those the format uses are ignored.
  // On bad input returns nothing and sets `*error` when given: Cocoa domain,
  // kPredicateFormatErrorCode, described as "Unable to parse the format string \"<format>\" at
  // position <n>" (n counts UTF-16 units from 0, where the fault starts), or as a message about
  // a missing or unfit argument. Never throws.
  static std::optional<Predicate> withFormat(std::string_view format,
                                             const foundation::Array& arguments = {},
                                             foundation::Error* error = nullptr);

  // TRUEPREDICATE or FALSEPREDICATE.
  static Predicate withValue(bool value);
  // `keyPath op value`, e.g. comparison("guid", EqualTo, "abc").
  static Predicate comparison(const std::string& keyPath, ComparisonOperator op,
                              foundation::Value value, unsigned options = ComparisonOption::kNone);
  // The general comparison of two expressions.
  static Predicate comparison(Expression left, ComparisonOperator op, Expression right,
                              ComparisonModifier modifier = ComparisonModifier::Direct,
                              unsigned options = ComparisonOption::kNone);
  // Compounds. An AND of nothing is true, an OR of nothing is false.
  static Predicate andPredicate(std::vector<Predicate> subpredicates);
  static Predicate orPredicate(std::vector<Predicate> subpredicates);
  static Predicate notPredicate(Predicate subpredicate);

  Type type() const;
  // Comparison parts (meaningful for Type::Comparison only).
  const Expression& leftExpression() const;
  const Expression& rightExpression() const;
  ComparisonOperator predicateOperator() const;
  ComparisonModifier comparisonModifier() const;
  unsigned options() const;
  // Operands of And/Or, or the single operand of Not; empty for the other types.
  const std::vector<Predicate>& subpredicates() const;

  // Whether `object` (SELF: a dictionary, a KeyValueCoding object in a Value, or any value)
  // satisfies the predicate. Nil compares equal only to nil; != with nil on one side is true;
  // ordering and string operators with nil are false; operands of unfit types make the
  // comparison false. On failure (an unknown key, a bad regular expression) returns false and
  // sets `*error` when given.
  bool evaluate(const foundation::Value& object, foundation::Error* error = nullptr) const;

  // The platform's canonical text: "isEnabled == 1 AND isEtcHostsPreview == 0",
  // "title == \"x\"", "guid IN {\"a\", \"b\"}", "title LIKE[c] \"a*\"", "TRUEPREDICATE".
  // Compound operands are parenthesised.
  std::string predicateFormat() const;

  // Every key path the predicate reads, without duplicates, in order of first appearance
  // (SELF itself is not listed). A fetch checks these against its entity.
  std::vector<std::string> keyPaths() const;

  bool operator==(const Predicate& other) const;

  struct Node;

 private:
  explicit Predicate(std::shared_ptr<const Node> node) : node_(std::move(node)) {}
  std::shared_ptr<const Node> node_;
};

// The operator's text in the format language ("==", "BEGINSWITH", ...).
std::string comparisonOperatorText(ComparisonOperator op);

// `text` as a comparison with `options` sees it: case-folded (Unicode full case folding) for
// kCaseInsensitive, with combining marks removed for kDiacriticInsensitive, in composed form.
// With neither option the text comes back unchanged. ASCII text never leaves the fast path.
std::string foldedForComparison(std::string_view text, unsigned options);

}  // namespace coredata
