#include "platform/coredata/Predicate.h"

#include <unicode/uchar.h>
#include <unicode/uregex.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>

#include "platform/coredata/PredicateParser.h"
#include "platform/coredata/SortDescriptor.h"
#include "platform/foundation/String.h"

namespace coredata {

struct Predicate::Node {
  Type type = Type::True;
  Expression left;
  Expression right;
  ComparisonOperator op = ComparisonOperator::EqualTo;
  ComparisonModifier modifier = ComparisonModifier::Direct;
  unsigned options = ComparisonOption::kNone;
  std::vector<Predicate> subpredicates;
};

// --- Text folding ---------------------------------------------------------------------------

namespace {

std::u16string normalize(const std::u16string& text, const UNormalizer2* normalizer) {
  UErrorCode status = U_ZERO_ERROR;
  const auto length = static_cast<int32_t>(text.size());
  std::u16string out(text.size() * 3 + 8, u'\0');
  int32_t written = unorm2_normalize(normalizer, text.data(), length, out.data(),
                                     static_cast<int32_t>(out.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    out.assign(static_cast<std::size_t>(written), u'\0');
    written = unorm2_normalize(normalizer, text.data(), length, out.data(), written, &status);
  }
  if (U_FAILURE(status)) return text;
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::u16string withoutMarks(const std::u16string& text) {
  std::u16string out;
  out.reserve(text.size());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    int32_t start = i;
    UChar32 c;
    U16_NEXT(text.data(), i, length, c);
    if (u_charType(c) == U_NON_SPACING_MARK) continue;
    out.append(text, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
  }
  return out;
}

std::u16string caseFolded(const std::u16string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const auto length = static_cast<int32_t>(text.size());
  std::u16string out(text.size() * 3 + 8, u'\0');
  int32_t written = u_strFoldCase(out.data(), static_cast<int32_t>(out.size()), text.data(), length,
                                  U_FOLD_CASE_DEFAULT, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    out.assign(static_cast<std::size_t>(written), u'\0');
    written = u_strFoldCase(out.data(), written, text.data(), length, U_FOLD_CASE_DEFAULT, &status);
  }
  if (U_FAILURE(status)) return text;
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace

std::string foldedForComparison(std::string_view text, unsigned options) {
  const bool caseInsensitive = options & ComparisonOption::kCaseInsensitive;
  const bool diacriticInsensitive = options & ComparisonOption::kDiacriticInsensitive;
  if (!caseInsensitive && !diacriticInsensitive) return std::string(text);
  if (foundation::isASCII(text)) {
    std::string out(text);
    if (caseInsensitive) {
      for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
  }
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return std::string(text);
  std::u16string units = normalize(foundation::utf16(text), nfd);
  if (diacriticInsensitive) units = withoutMarks(units);
  if (caseInsensitive) units = caseFolded(units);
  return foundation::utf8(normalize(units, nfc));
}

// --- Construction ---------------------------------------------------------------------------

namespace {

const std::shared_ptr<const Predicate::Node>& trueNode() {
  static const auto node = std::make_shared<const Predicate::Node>();
  return node;
}

}  // namespace

Predicate::Predicate() : node_(trueNode()) {}

std::optional<Predicate> Predicate::withFormat(std::string_view format, const foundation::Array& arguments,
                                               foundation::Error* error) {
  PredicateParser parser(format, arguments);
  return parser.parse(error);
}

Predicate Predicate::withValue(bool value) {
  if (value) return Predicate();
  auto node = std::make_shared<Node>();
  node->type = Type::False;
  return Predicate(std::move(node));
}

Predicate Predicate::comparison(const std::string& keyPath, ComparisonOperator op, foundation::Value value,
                                unsigned options) {
  return comparison(Expression::keyPath(keyPath), op, Expression::constant(std::move(value)),
                    ComparisonModifier::Direct, options);
}

Predicate Predicate::comparison(Expression left, ComparisonOperator op, Expression right,
                                ComparisonModifier modifier, unsigned options) {
  auto node = std::make_shared<Node>();
  node->type = Type::Comparison;
  node->left = std::move(left);
  node->right = std::move(right);
  node->op = op;
  node->modifier = modifier;
  node->options = options;
  return Predicate(std::move(node));
}

Predicate Predicate::andPredicate(std::vector<Predicate> subpredicates) {
  auto node = std::make_shared<Node>();
  node->type = Type::And;
  node->subpredicates = std::move(subpredicates);
  return Predicate(std::move(node));
}

Predicate Predicate::orPredicate(std::vector<Predicate> subpredicates) {
  auto node = std::make_shared<Node>();
  node->type = Type::Or;
  node->subpredicates = std::move(subpredicates);
  return Predicate(std::move(node));
}

Predicate Predicate::notPredicate(Predicate subpredicate) {
  auto node = std::make_shared<Node>();
  node->type = Type::Not;
  node->subpredicates.push_back(std::move(subpredicate));
  return Predicate(std::move(node));
}

Predicate::Type Predicate::type() const { return node_->type; }
const Expression& Predicate::leftExpression() const { return node_->left; }
const Expression& Predicate::rightExpression() const { return node_->right; }
ComparisonOperator Predicate::predicateOperator() const { return node_->op; }
ComparisonModifier Predicate::comparisonModifier() const { return node_->modifier; }
unsigned Predicate::options() const { return node_->options; }
const std::vector<Predicate>& Predicate::subpredicates() const { return node_->subpredicates; }

bool Predicate::operator==(const Predicate& other) const {
  const Node& a = *node_;
  const Node& b = *other.node_;
  return a.type == b.type && a.left == b.left && a.right == b.right && a.op == b.op && a.modifier == b.modifier &&
         a.options == b.options && a.subpredicates == b.subpredicates;
}

// --- Evaluation -----------------------------------------------------------------------------

namespace {

bool failed(const foundation::Error& error) { return !error.domain().empty(); }

foundation::Array elementsOf(const foundation::Value& value) {
  if (value.isArray()) return value.arrayValue();
  if (value.isDictionary()) {
    foundation::Array values;
    for (const auto& entry : value.dictionaryValue()) values.push_back(entry.second);
    return values;
  }
  if (value.isNull()) return {};
  return {value};
}

bool isCollection(const foundation::Value& value) { return value.isArray() || value.isDictionary(); }

std::string folded(const foundation::Value& value, unsigned options) {
  return foldedForComparison(value.stringValue(), options);
}

bool valuesEqual(const foundation::Value& a, const foundation::Value& b, unsigned options) {
  if (a.isString() && b.isString() && options != ComparisonOption::kNone) return folded(a, options) == folded(b, options);
  return a == b;  // nil equals only nil; numbers by value; containers element by element
}

// The order of two values that can be ordered against each other, else nothing.
std::optional<int> orderOf(const foundation::Value& a, const foundation::Value& b, unsigned options) {
  if (a.isNull() || b.isNull()) return std::nullopt;
  if (a.isString() && b.isString()) {
    if (options == ComparisonOption::kNone) return compareValues(a, b);
    return compareValues(foundation::Value(folded(a, options)), foundation::Value(folded(b, options)));
  }
  bool comparable = (a.isNumber() && b.isNumber()) || (a.isDate() && b.isDate()) || (a.isData() && b.isData());
  if (!comparable) return std::nullopt;
  return compareValues(a, b);
}

std::u32string codePoints(const std::string& text) {
  std::u16string units = foundation::utf16(text);
  std::u32string out;
  const auto length = static_cast<int32_t>(units.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U16_NEXT(units.data(), i, length, c);
    out.push_back(static_cast<char32_t>(c));
  }
  return out;
}

// LIKE: "*" matches any run of characters, "?" exactly one, "\" makes the next one literal.
bool likeMatches(const std::u32string& text, const std::u32string& pattern) {
  std::size_t t = 0, p = 0;
  std::size_t starP = std::u32string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == U'*') {
      starP = p++;
      starT = t;
      continue;
    }
    if (p < pattern.size()) {
      bool escaped = pattern[p] == U'\\' && p + 1 < pattern.size();
      char32_t expected = escaped ? pattern[p + 1] : pattern[p];
      if ((!escaped && expected == U'?') || expected == text[t]) {
        p += escaped ? 2 : 1;
        ++t;
        continue;
      }
    }
    if (starP == std::u32string::npos) return false;
    p = starP + 1;
    t = ++starT;
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

// MATCHES: the whole text must match the ICU pattern; [c] makes the match case-insensitive.
bool regularExpressionMatches(const std::string& text, const std::string& pattern, unsigned options,
                              foundation::Error* error) {
  std::u16string pattern16 = foundation::utf16(pattern);
  std::u16string text16 = foundation::utf16(text);
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  uint32_t flags = (options & ComparisonOption::kCaseInsensitive) ? UREGEX_CASE_INSENSITIVE : 0;
  URegularExpression* regex =
      uregex_open(pattern16.data(), static_cast<int32_t>(pattern16.size()), flags, &parseError, &status);
  if (U_FAILURE(status)) {
    if (regex) uregex_close(regex);
    if (error) {
      *error = foundation::Error::withDescription(
          foundation::kCocoaErrorDomain, kPredicateFormatErrorCode,
          "Can't do regex matching, reason: Can't open pattern " + std::string(u_errorName(status)) +
              " (string " + text + ", pattern " + pattern + ")");
    }
    return false;
  }
  uregex_setText(regex, text16.data(), static_cast<int32_t>(text16.size()), &status);
  bool matched = U_SUCCESS(status) && uregex_matches(regex, 0, &status);
  uregex_close(regex);
  return U_SUCCESS(status) && matched;
}

bool compareStrings(ComparisonOperator op, const foundation::Value& left, const foundation::Value& right,
                    unsigned options, foundation::Error* error);

bool compareDirect(ComparisonOperator op, const foundation::Value& left, const foundation::Value& right,
                   unsigned options, foundation::Error* error) {
  switch (op) {
    case ComparisonOperator::EqualTo: return valuesEqual(left, right, options);
    case ComparisonOperator::NotEqualTo: return !valuesEqual(left, right, options);
    case ComparisonOperator::LessThan:
    case ComparisonOperator::LessThanOrEqualTo:
    case ComparisonOperator::GreaterThan:
    case ComparisonOperator::GreaterThanOrEqualTo: {
      auto order = orderOf(left, right, options);
      if (!order) return false;
      if (op == ComparisonOperator::LessThan) return *order < 0;
      if (op == ComparisonOperator::LessThanOrEqualTo) return *order <= 0;
      if (op == ComparisonOperator::GreaterThan) return *order > 0;
      return *order >= 0;
    }
    case ComparisonOperator::In: {
      if (right.isString() && left.isString()) return compareStrings(ComparisonOperator::Contains, right, left, options, error);
      if (!isCollection(right)) return false;
      for (const foundation::Value& element : elementsOf(right)) {
        if (valuesEqual(left, element, options)) return true;
      }
      return false;
    }
    case ComparisonOperator::Contains: {
      if (left.isString()) return compareStrings(op, left, right, options, error);
      if (!isCollection(left)) return false;
      for (const foundation::Value& element : elementsOf(left)) {
        if (valuesEqual(element, right, options)) return true;
      }
      return false;
    }
    case ComparisonOperator::Between: {
      if (!right.isArray() || right.arrayValue().size() != 2) return false;
      auto low = orderOf(left, right.arrayValue()[0], options);
      auto high = orderOf(left, right.arrayValue()[1], options);
      return low && high && *low >= 0 && *high <= 0;
    }
    default: return compareStrings(op, left, right, options, error);
  }
}

bool compareStrings(ComparisonOperator op, const foundation::Value& left, const foundation::Value& right,
                    unsigned options, foundation::Error* error) {
  if (!left.isString() || !right.isString()) return false;
  // A pattern is not folded: folding would change its meaning (\D is not \d).
  if (op == ComparisonOperator::Matches) return regularExpressionMatches(left.stringValue(), right.stringValue(), options, error);
  const std::string text = folded(left, options);
  const std::string other = folded(right, options);
  switch (op) {
    case ComparisonOperator::BeginsWith: return text.starts_with(other);
    case ComparisonOperator::EndsWith: return text.ends_with(other);
    case ComparisonOperator::Contains: return text.find(other) != std::string::npos;
    case ComparisonOperator::Like: return likeMatches(codePoints(text), codePoints(other));
    default: return false;
  }
}

// Reads both operands, then compares directly or element by element for ANY and ALL.
bool evaluateComparison(const Predicate::Node& node, const foundation::Value& object, foundation::Error* error) {
  foundation::Error failure;
  foundation::Value left = node.left.expressionValueWithObject(object, &failure);
  foundation::Value right = failed(failure) ? foundation::Value() : node.right.expressionValueWithObject(object, &failure);
  bool result = false;
  if (!failed(failure)) {
    if (node.modifier == ComparisonModifier::Direct) {
      result = compareDirect(node.op, left, right, node.options, &failure);
    } else {
      const foundation::Array elements = elementsOf(left);
      auto test = [&](const foundation::Value& element) {
        return compareDirect(node.op, element, right, node.options, &failure);
      };
      result = node.modifier == ComparisonModifier::Any ? std::any_of(elements.begin(), elements.end(), test)
                                                         : std::all_of(elements.begin(), elements.end(), test);
    }
  }
  if (failed(failure)) {
    if (error) *error = failure;
    return false;
  }
  return result;
}

}  // namespace

bool Predicate::evaluate(const foundation::Value& object, foundation::Error* error) const {
  const Node& node = *node_;
  switch (node.type) {
    case Type::True: return true;
    case Type::False: return false;
    case Type::Not: {
      foundation::Error failure;
      bool inner = node.subpredicates.front().evaluate(object, &failure);
      if (failed(failure)) {
        if (error) *error = failure;
        return false;  // a failure is never turned into a match by the negation
      }
      return !inner;
    }
    case Type::And:
      for (const Predicate& sub : node.subpredicates) {
        if (!sub.evaluate(object, error)) return false;
      }
      return true;
    case Type::Or:
      for (const Predicate& sub : node.subpredicates) {
        foundation::Error failure;
        if (sub.evaluate(object, &failure)) return true;
        if (failed(failure)) {
          if (error) *error = failure;
          return false;
        }
      }
      return false;
    case Type::Comparison: break;
  }
  return evaluateComparison(node, object, error);
}

// --- Text -----------------------------------------------------------------------------------

std::string comparisonOperatorText(ComparisonOperator op) {
  switch (op) {
    case ComparisonOperator::LessThan: return "<";
    case ComparisonOperator::LessThanOrEqualTo: return "<=";
    case ComparisonOperator::GreaterThan: return ">";
    case ComparisonOperator::GreaterThanOrEqualTo: return ">=";
    case ComparisonOperator::EqualTo: return "==";
    case ComparisonOperator::NotEqualTo: return "!=";
    case ComparisonOperator::Matches: return "MATCHES";
    case ComparisonOperator::Like: return "LIKE";
    case ComparisonOperator::BeginsWith: return "BEGINSWITH";
    case ComparisonOperator::EndsWith: return "ENDSWITH";
    case ComparisonOperator::In: return "IN";
    case ComparisonOperator::Contains: return "CONTAINS";
    case ComparisonOperator::Between: return "BETWEEN";
  }
  return "";
}

namespace {

std::string optionsText(unsigned options) {
  std::string letters;
  if (options & ComparisonOption::kCaseInsensitive) letters += 'c';
  if (options & ComparisonOption::kDiacriticInsensitive) letters += 'd';
  if (options & ComparisonOption::kNormalized) letters += 'n';
  return letters.empty() ? "" : "[" + letters + "]";
}

std::string operandText(const Predicate& predicate) {
  bool compound = predicate.type() == Predicate::Type::And || predicate.type() == Predicate::Type::Or;
  return compound && predicate.subpredicates().size() > 1 ? "(" + predicate.predicateFormat() + ")"
                                                          : predicate.predicateFormat();
}

}  // namespace

std::string Predicate::predicateFormat() const {
  const Node& node = *node_;
  switch (node.type) {
    case Type::True: return "TRUEPREDICATE";
    case Type::False: return "FALSEPREDICATE";
    case Type::Not: return "NOT " + operandText(node.subpredicates.front());
    case Type::And:
    case Type::Or: {
      if (node.subpredicates.empty()) return node.type == Type::And ? "TRUEPREDICATE" : "FALSEPREDICATE";
      std::string out;
      for (std::size_t i = 0; i < node.subpredicates.size(); ++i) {
        if (i) out += node.type == Type::And ? " AND " : " OR ";
        out += operandText(node.subpredicates[i]);
      }
      return out;
    }
    case Type::Comparison: break;
  }
  std::string modifier = node.modifier == ComparisonModifier::Any   ? "ANY "
                         : node.modifier == ComparisonModifier::All ? "ALL "
                                                                    : "";
  return modifier + node.left.description() + " " + comparisonOperatorText(node.op) + optionsText(node.options) +
         " " + node.right.description();
}

std::vector<std::string> Predicate::keyPaths() const {
  std::vector<std::string> paths;
  std::vector<const Predicate*> pending{this};
  while (!pending.empty()) {
    const Predicate* current = pending.back();
    pending.pop_back();
    if (current->type() == Type::Comparison) {
      current->leftExpression().collectKeyPaths(paths);
      current->rightExpression().collectKeyPaths(paths);
    }
    const auto& subs = current->subpredicates();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) pending.push_back(&*it);
  }
  return paths;
}

}  // namespace coredata
