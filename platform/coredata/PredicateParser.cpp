#include "platform/coredata/PredicateParser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <strings.h>

#include "platform/foundation/String.h"

namespace coredata {

namespace {

const char* const kReservedWords[] = {
    "AND",  "OR",   "NOT",   "IN",   "LIKE",  "BEGINSWITH", "ENDSWITH",      "CONTAINS",       "MATCHES",
    "BETWEEN", "ANY", "ALL", "SOME", "NONE", "TRUEPREDICATE", "FALSEPREDICATE", "SELF", "NIL",
    "NULL", "TRUE", "FALSE", "YES",  "NO",    "SUBQUERY", "FIRST", "LAST", "SIZE", "CAST",
};

bool isReserved(const std::string& word) {
  for (const char* reserved : kReservedWords) {
    if (strcasecmp(word.c_str(), reserved) == 0) return true;
  }
  return false;
}

bool isIdentifierStart(unsigned char c) { return std::isalpha(c) || c == '_' || c == '@' || c >= 0x80; }
bool isIdentifierPart(unsigned char c) { return isIdentifierStart(c) || std::isdigit(c); }

// Symbols, longest first so that "==" wins over "=".
// Deeper nesting than this is refused rather than risking the stack on hostile text.
constexpr std::size_t kMaximumDepth = 256;

// Counts one level of nesting for as long as it lives.
class DepthGuard {
 public:
  explicit DepthGuard(std::size_t& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  std::size_t& depth_;
};

const char* const kSymbols[] = {"==", "=<", "=>", "!=", "<>", "<=", ">=", "&&", "||", "=", "<", ">",
                                "!",  "(",  ")",  "{",  "}",  "[",  "]",  ",",  ".",  ":", "-"};

}  // namespace

bool PredicateParser::isReservedWord(const std::string& word) { return isReserved(word); }

PredicateParser::PredicateParser(std::string_view format, const foundation::Array& arguments)
    : format_(format), arguments_(arguments) {}

bool PredicateParser::fail(std::size_t position, std::string reason) {
  // The first fault found is the one reported: later ones are usually its echo.
  if (!failure_) failure_ = Failure{position, std::move(reason)};
  return false;
}

std::optional<Predicate> PredicateParser::parse(foundation::Error* error) {
  std::optional<Predicate> result;
  if (tokenize()) {
    if (peek().kind == TokenKind::End) {
      fail(peek().position, "the format is empty");
    } else {
      result = parseOr();
      if (result && peek().kind != TokenKind::End) {
        fail(peek().position, "unexpected text after the end of the predicate");
        result.reset();
      }
    }
  }
  if (result) return result;
  if (!failure_) failure_ = Failure{0, "the format could not be read"};  // every failing path sets one
  if (error) {
    std::size_t position = foundation::length16(std::string_view(format_).substr(0, failure_->position));
    foundation::Dictionary userInfo{
        {foundation::kLocalizedDescriptionKey, "Unable to parse the format string \"" + format_ + "\" at position " +
                                                   std::to_string(position)},
        {foundation::kLocalizedFailureReasonErrorKey, failure_->reason},
    };
    *error = foundation::Error(foundation::kCocoaErrorDomain, kPredicateFormatErrorCode, std::move(userInfo));
  }
  return std::nullopt;
}

// --- Tokens ---------------------------------------------------------------------------------

bool PredicateParser::tokenize() {
  std::size_t i = 0;
  while (i < format_.size()) {
    unsigned char c = static_cast<unsigned char>(format_[i]);
    if (std::isspace(c)) {
      ++i;
    } else if (c == '"' || c == '\'') {
      if (!lexString(i)) return false;
    } else if (std::isdigit(c) || (c == '.' && i + 1 < format_.size() && std::isdigit(static_cast<unsigned char>(format_[i + 1])))) {
      if (!lexNumber(i)) return false;
    } else if (c == '%') {
      if (!lexArgument(i)) return false;
    } else if (c == '$') {
      return fail(i, "variables are not supported");
    } else if (c == '#' || isIdentifierStart(c)) {
      std::size_t start = i;
      if (c == '#') ++i;
      std::size_t nameStart = i;
      while (i < format_.size() && isIdentifierPart(static_cast<unsigned char>(format_[i]))) ++i;
      if (i == nameStart) return fail(start, "\"#\" must be followed by a name");
      tokens_.push_back({c == '#' ? TokenKind::EscapedIdentifier : TokenKind::Identifier,
                         format_.substr(nameStart, i - nameStart), start});
    } else if (!lexSymbol(i)) {
      return false;
    }
  }
  tokens_.push_back({TokenKind::End, "", format_.size()});
  return true;
}

bool PredicateParser::lexString(std::size_t& i) {
  const char quote = format_[i];
  const std::size_t start = i++;
  std::string text;
  while (i < format_.size() && format_[i] != quote) {
    char c = format_[i++];
    if (c != '\\') {
      text += c;
      continue;
    }
    if (i >= format_.size()) break;
    char escaped = format_[i++];
    switch (escaped) {
      case 'n': text += '\n'; break;
      case 't': text += '\t'; break;
      case 'r': text += '\r'; break;
      case '0': text += '\0'; break;
      default: text += escaped;  // \" \' \\ and anything else stand for themselves
    }
  }
  if (i >= format_.size()) return fail(start, "the quoted string is not terminated");
  ++i;  // closing quote
  tokens_.push_back({TokenKind::String, std::move(text), start});
  return true;
}

bool PredicateParser::lexNumber(std::size_t& i) {
  const std::size_t start = i;
  auto digitAt = [&](std::size_t at, bool hex) {
    if (at >= format_.size()) return false;
    unsigned char c = static_cast<unsigned char>(format_[at]);
    return hex ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
  };
  if (format_.compare(i, 2, "0x") == 0 || format_.compare(i, 2, "0X") == 0) {
    i += 2;
    if (!digitAt(i, true)) return fail(start, "a hexadecimal number needs digits");
    while (digitAt(i, true)) ++i;
  } else {
    while (digitAt(i, false)) ++i;
    if (i < format_.size() && format_[i] == '.' && digitAt(i + 1, false)) {
      ++i;
      while (digitAt(i, false)) ++i;
    }
    if (i < format_.size() && (format_[i] == 'e' || format_[i] == 'E')) {
      std::size_t exponent = i + 1;
      if (exponent < format_.size() && (format_[exponent] == '+' || format_[exponent] == '-')) ++exponent;
      if (!digitAt(exponent, false)) return fail(i, "the exponent needs digits");
      i = exponent;
      while (digitAt(i, false)) ++i;
    }
  }
  if (i < format_.size() && isIdentifierStart(static_cast<unsigned char>(format_[i]))) {
    return fail(i, "a number runs into a name");
  }
  tokens_.push_back({TokenKind::Number, format_.substr(start, i - start), start});
  return true;
}

bool PredicateParser::lexArgument(std::size_t& i) {
  const std::size_t start = i++;
  std::string modifiers;
  while (i < format_.size() && (format_[i] == 'l' || format_[i] == 'h' || format_[i] == 'q')) modifiers += format_[i++];
  if (i >= format_.size()) return fail(start, "\"%\" ends the format");
  char conversion = format_[i++];
  static const std::string kConversions = "@KdiufgesDIUc";
  if (kConversions.find(conversion) == std::string::npos) {
    return fail(start, std::string("unsupported format specifier %") + modifiers + conversion);
  }
  tokens_.push_back({TokenKind::Argument, std::string(1, conversion), start});
  return true;
}

bool PredicateParser::lexSymbol(std::size_t& i) {
  for (const char* symbol : kSymbols) {
    std::string_view text(symbol);
    if (format_.compare(i, text.size(), text) == 0) {
      tokens_.push_back({TokenKind::Symbol, std::string(text), i});
      i += text.size();
      return true;
    }
  }
  return fail(i, std::string("unexpected character '") + format_[i] + "'");
}

const PredicateParser::Token& PredicateParser::peek(std::size_t ahead) const {
  std::size_t index = cursor_ + ahead;
  return index < tokens_.size() ? tokens_[index] : tokens_.back();
}

PredicateParser::Token PredicateParser::next() {
  Token token = peek();
  if (cursor_ < tokens_.size() - 1) ++cursor_;
  return token;
}

bool PredicateParser::isKeyword(const Token& token, const char* keyword) const {
  return token.kind == TokenKind::Identifier && strcasecmp(token.text.c_str(), keyword) == 0;
}

bool PredicateParser::isSymbol(const Token& token, const char* symbol) const {
  return token.kind == TokenKind::Symbol && token.text == symbol;
}

// --- Predicates -----------------------------------------------------------------------------

std::optional<Predicate> PredicateParser::parseOr() {
  auto first = parseAnd();
  if (!first) return std::nullopt;
  std::vector<Predicate> operands{*first};
  while (isKeyword(peek(), "OR") || isSymbol(peek(), "||")) {
    next();
    auto operand = parseAnd();
    if (!operand) return std::nullopt;
    operands.push_back(*operand);
  }
  if (operands.size() == 1) return operands.front();
  return Predicate::orPredicate(std::move(operands));
}

std::optional<Predicate> PredicateParser::parseAnd() {
  auto first = parseNot();
  if (!first) return std::nullopt;
  std::vector<Predicate> operands{*first};
  while (isKeyword(peek(), "AND") || isSymbol(peek(), "&&")) {
    next();
    auto operand = parseNot();
    if (!operand) return std::nullopt;
    operands.push_back(*operand);
  }
  if (operands.size() == 1) return operands.front();
  return Predicate::andPredicate(std::move(operands));
}

bool PredicateParser::enter(std::size_t position) {
  if (depth_ < kMaximumDepth) return true;
  return fail(position, "the predicate is nested too deeply");
}

std::optional<Predicate> PredicateParser::parseNot() {
  DepthGuard guard(depth_);
  if (!enter(peek().position)) return std::nullopt;
  const Token& token = peek();
  if (isKeyword(token, "NOT") || isSymbol(token, "!")) {
    next();
    auto operand = parseNot();
    if (!operand) return std::nullopt;
    return Predicate::notPredicate(*operand);
  }
  if (isSymbol(token, "(")) {
    next();
    auto inner = parseOr();
    if (!inner) return std::nullopt;
    if (!isSymbol(peek(), ")")) {
      fail(peek().position, "expected \")\"");
      return std::nullopt;
    }
    next();
    return inner;
  }
  if (isKeyword(token, "TRUEPREDICATE")) {
    next();
    return Predicate::withValue(true);
  }
  if (isKeyword(token, "FALSEPREDICATE")) {
    next();
    return Predicate::withValue(false);
  }
  return parseComparison();
}

std::optional<Predicate> PredicateParser::parseComparison() {
  ComparisonModifier modifier = ComparisonModifier::Direct;
  bool none = false;
  if (isKeyword(peek(), "ANY") || isKeyword(peek(), "SOME")) {
    modifier = ComparisonModifier::Any;
    next();
  } else if (isKeyword(peek(), "ALL")) {
    modifier = ComparisonModifier::All;
    next();
  } else if (isKeyword(peek(), "NONE")) {
    modifier = ComparisonModifier::Any;
    none = true;
    next();
  }
  auto left = parseExpression();
  if (!left) return std::nullopt;
  ComparisonOperator op = ComparisonOperator::EqualTo;
  if (!parseOperator(op)) return std::nullopt;
  unsigned options = ComparisonOption::kNone;
  if (!parseOptions(options)) return std::nullopt;
  auto right = parseExpression();
  if (!right) return std::nullopt;
  Predicate comparison = Predicate::comparison(*left, op, *right, modifier, options);
  // NONE is the negation of ANY, which is how the platform keeps it too.
  return none ? Predicate::notPredicate(comparison) : comparison;
}

bool PredicateParser::parseOperator(ComparisonOperator& op) {
  static const std::pair<const char*, ComparisonOperator> kSymbolOperators[] = {
      {"==", ComparisonOperator::EqualTo},           {"=", ComparisonOperator::EqualTo},
      {"!=", ComparisonOperator::NotEqualTo},        {"<>", ComparisonOperator::NotEqualTo},
      {"<", ComparisonOperator::LessThan},           {"<=", ComparisonOperator::LessThanOrEqualTo},
      {"=<", ComparisonOperator::LessThanOrEqualTo}, {">", ComparisonOperator::GreaterThan},
      {">=", ComparisonOperator::GreaterThanOrEqualTo}, {"=>", ComparisonOperator::GreaterThanOrEqualTo},
  };
  static const std::pair<const char*, ComparisonOperator> kWordOperators[] = {
      {"MATCHES", ComparisonOperator::Matches},   {"LIKE", ComparisonOperator::Like},
      {"BEGINSWITH", ComparisonOperator::BeginsWith}, {"ENDSWITH", ComparisonOperator::EndsWith},
      {"IN", ComparisonOperator::In},             {"CONTAINS", ComparisonOperator::Contains},
      {"BETWEEN", ComparisonOperator::Between},
  };
  const Token& token = peek();
  for (const auto& [text, value] : kSymbolOperators) {
    if (isSymbol(token, text)) {
      op = value;
      next();
      return true;
    }
  }
  for (const auto& [text, value] : kWordOperators) {
    if (isKeyword(token, text)) {
      op = value;
      next();
      return true;
    }
  }
  return fail(token.position, "expected a comparison operator");
}

bool PredicateParser::parseOptions(unsigned& options) {
  if (!isSymbol(peek(), "[")) return true;
  next();
  const Token& letters = peek();
  if (letters.kind != TokenKind::Identifier) return fail(letters.position, "expected comparison options");
  for (std::size_t i = 0; i < letters.text.size(); ++i) {
    switch (std::tolower(static_cast<unsigned char>(letters.text[i]))) {
      case 'c': options |= ComparisonOption::kCaseInsensitive; break;
      case 'd': options |= ComparisonOption::kDiacriticInsensitive; break;
      case 'n': options |= ComparisonOption::kNormalized; break;
      default: return fail(letters.position + i, "unknown comparison option");
    }
  }
  next();
  if (!isSymbol(peek(), "]")) return fail(peek().position, "expected \"]\"");
  next();
  return true;
}

// --- Expressions ----------------------------------------------------------------------------

std::optional<Expression> PredicateParser::parseExpression() {
  DepthGuard guard(depth_);
  if (!enter(peek().position)) return std::nullopt;
  Token token = next();
  switch (token.kind) {
    case TokenKind::String: return Expression::constant(foundation::Value(token.text));
    case TokenKind::Number: return parseNumber(token, false);
    case TokenKind::Argument: return parseArgument(token);
    case TokenKind::EscapedIdentifier: return parseKeyPathOrFunction(token);
    case TokenKind::Identifier: {
      if (isKeyword(token, "NIL") || isKeyword(token, "NULL")) return Expression::constant(foundation::Value());
      if (isKeyword(token, "TRUE") || isKeyword(token, "YES")) return Expression::constant(foundation::Value(true));
      if (isKeyword(token, "FALSE") || isKeyword(token, "NO")) return Expression::constant(foundation::Value(false));
      if (isKeyword(token, "SELF")) {
        if (!isSymbol(peek(), ".")) return Expression::evaluatedObject();
        next();
        Token first = next();
        if (first.kind != TokenKind::Identifier && first.kind != TokenKind::EscapedIdentifier) {
          fail(first.position, "expected a key after \"SELF.\"");
          return std::nullopt;
        }
        return parseKeyPathOrFunction(first);
      }
      if (isKeyword(token, "CAST") && isSymbol(peek(), "(")) return parseCast(token);
      if (isReserved(token.text)) {
        fail(token.position, "\"" + token.text + "\" is a reserved word here");
        return std::nullopt;
      }
      return parseKeyPathOrFunction(token);
    }
    case TokenKind::Symbol: {
      if (token.text == "{") {
        auto elements = parseList("}");
        if (!elements) return std::nullopt;
        // A collection of constants is one constant, the same as an array given through %@.
        bool allConstant = std::all_of(elements->begin(), elements->end(), [](const Expression& e) {
          return e.type() == Expression::Type::ConstantValue;
        });
        if (!allConstant) return Expression::aggregate(std::move(*elements));
        foundation::Array values;
        for (const Expression& element : *elements) values.push_back(element.constantValue());
        return Expression::constant(foundation::Value(std::move(values)));
      }
      if (token.text == "-" && peek().kind == TokenKind::Number) return parseNumber(next(), true);
      break;
    }
    case TokenKind::End: break;
  }
  fail(token.position, token.kind == TokenKind::End ? "the predicate ends too early" : "expected a value or key path");
  return std::nullopt;
}

std::optional<Expression> PredicateParser::parseArgument(const Token& token) {
  if (nextArgument_ >= arguments_.size()) {
    fail(token.position, "no argument left for %" + token.text);
    return std::nullopt;
  }
  const foundation::Value& argument = arguments_[nextArgument_++];
  switch (token.text[0]) {
    case '@': return Expression::constant(argument);
    case 'K':
      if (!argument.isString() || argument.stringValue().empty()) {
        fail(token.position, "the argument for %K must be a non-empty key path string");
        return std::nullopt;
      }
      return Expression::keyPath(argument.stringValue());
    case 's': return Expression::constant(argument.isString() ? argument : foundation::Value(argument.description()));
    case 'c': return Expression::constant(foundation::Value(static_cast<long long>(argument.intValue())));
    case 'f':
    case 'g':
    case 'e': return Expression::constant(foundation::Value(argument.doubleValue()));
    case 'u':
    case 'U':
      if (argument.type() == foundation::Value::Type::UInt) return Expression::constant(argument);
      return Expression::constant(foundation::Value(static_cast<long long>(argument.intValue())));
    default: return Expression::constant(foundation::Value(static_cast<long long>(argument.intValue())));
  }
}

std::optional<Expression> PredicateParser::parseCast(const Token& first) {
  next();  // "("
  auto arguments = parseList(")");
  if (!arguments) return std::nullopt;
  // Dates print as CAST(seconds since the reference date, "NSDate"), so that form must read back.
  bool dateCast = arguments->size() == 2 && (*arguments)[0].type() == Expression::Type::ConstantValue &&
                  (*arguments)[0].constantValue().isNumber() && (*arguments)[1].constantValue() == foundation::Value("NSDate");
  if (!dateCast) {
    fail(first.position, "CAST takes a number and \"NSDate\"");
    return std::nullopt;
  }
  return Expression::constant(
      foundation::Date::fromTimeIntervalSinceReferenceDate((*arguments)[0].constantValue().doubleValue()));
}

std::optional<Expression> PredicateParser::parseKeyPathOrFunction(const Token& first) {
  // name(...) and name:(...) call a function.
  bool call = isSymbol(peek(), "(");
  bool selectorCall = isSymbol(peek(), ":") && isSymbol(peek(1), "(");
  if (first.kind == TokenKind::Identifier && (call || selectorCall)) {
    if (!Expression::isKnownFunction(first.text)) {
      fail(first.position, "unknown function " + first.text);
      return std::nullopt;
    }
    if (selectorCall) next();
    next();  // "("
    auto arguments = parseList(")");
    if (!arguments) return std::nullopt;
    return Expression::function(first.text, std::move(*arguments));
  }
  std::string keyPath = first.text;
  while (isSymbol(peek(), ".") &&
         (peek(1).kind == TokenKind::Identifier || peek(1).kind == TokenKind::EscapedIdentifier)) {
    next();
    keyPath += "." + next().text;
  }
  if (isSymbol(peek(), ".")) {
    fail(peek(1).position, "expected a key after \".\"");
    return std::nullopt;
  }
  return Expression::keyPath(std::move(keyPath));
}

std::optional<std::vector<Expression>> PredicateParser::parseList(const char* close) {
  std::vector<Expression> elements;
  if (isSymbol(peek(), close)) {
    next();
    return elements;
  }
  while (true) {
    auto element = parseExpression();
    if (!element) return std::nullopt;
    elements.push_back(std::move(*element));
    if (isSymbol(peek(), close)) {
      next();
      return elements;
    }
    if (!isSymbol(peek(), ",")) {
      fail(peek().position, std::string("expected \",\" or \"") + close + "\"");
      return std::nullopt;
    }
    next();
  }
}

std::optional<Expression> PredicateParser::parseNumber(const Token& token, bool negative) {
  const std::string& text = token.text;
  bool floating = text.find_first_of(".eE") != std::string::npos && text.find_first_of("xX") == std::string::npos;
  errno = 0;
  if (floating) {
    double value = std::strtod(text.c_str(), nullptr);
    return Expression::constant(foundation::Value(negative ? -value : value));
  }
  bool hex = text.size() > 2 && (text[1] == 'x' || text[1] == 'X');
  // Base 10 unless hexadecimal: a leading zero is not octal in the format language.
  unsigned long long magnitude = std::strtoull(text.c_str() + (hex ? 2 : 0), nullptr, hex ? 16 : 10);
  if (errno == ERANGE && !hex) {
    // Too large for 64 bits: keep it as the nearest double rather than a wrapped integer.
    double value = std::strtod(text.c_str(), nullptr);
    return Expression::constant(foundation::Value(negative ? -value : value));
  }
  if (!negative) {
    if (magnitude <= 9223372036854775807ULL) return Expression::constant(foundation::Value(static_cast<long long>(magnitude)));
    return Expression::constant(foundation::Value(magnitude));
  }
  if (magnitude <= 9223372036854775808ULL) {
    return Expression::constant(foundation::Value(static_cast<long long>(0 - magnitude)));
  }
  return Expression::constant(foundation::Value(-static_cast<double>(magnitude)));
}

}  // namespace coredata
