#pragma once
// PredicateParser turns the platform's predicate format language into a Predicate. It is the
// engine behind Predicate::withFormat; use that instead.
//
// The grammar, loosest binding first:
//   predicate  := and ( ("OR" | "||") and )*
//   and        := not ( ("AND" | "&&") not )*
//   not        := ("NOT" | "!") not | "(" predicate ")" | "TRUEPREDICATE" | "FALSEPREDICATE"
//               | [ "ANY" | "SOME" | "ALL" | "NONE" ] expression operator [ "[" cdn "]" ] expression
//   expression := constant | format argument | "SELF" [ "." keyPath ] | keyPath
//               | name "(" arguments ")" | name ":(" arguments ")" | "{" expressions "}"
//               | "CAST(" seconds "," "\"NSDate\"" ")"
// Keywords are case-insensitive; a key named like a keyword is written with a leading "#".
//
// A parser is used once, from one thread.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coredata/Predicate.h"

namespace coredata {

class PredicateParser {
 public:
  PredicateParser(std::string_view format, const foundation::Array& arguments);
  PredicateParser(const PredicateParser&) = delete;
  PredicateParser& operator=(const PredicateParser&) = delete;

  // Whether `word` is a keyword of the format language (any case), so that a key of that name
  // must be written "#word".
  static bool isReservedWord(const std::string& word);

  // Parses the whole format. On failure returns nothing and sets `*error` when given (see
  // Predicate::withFormat for the error's shape).
  std::optional<Predicate> parse(foundation::Error* error);

 private:
  enum class TokenKind { End, Identifier, EscapedIdentifier, Number, String, Argument, Symbol };
  struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;      // identifier, symbol, string contents, number text or argument conversion
    std::size_t position;  // byte offset in the format
  };
  struct Failure {
    std::size_t position;
    std::string reason;
  };

  bool tokenize();
  bool lexString(std::size_t& i);
  bool lexNumber(std::size_t& i);
  bool lexArgument(std::size_t& i);
  bool lexSymbol(std::size_t& i);

  const Token& peek(std::size_t ahead = 0) const;
  Token next();
  bool isKeyword(const Token& token, const char* keyword) const;
  bool isSymbol(const Token& token, const char* symbol) const;
  bool fail(std::size_t position, std::string reason);
  bool enter(std::size_t position);

  std::optional<Predicate> parseOr();
  std::optional<Predicate> parseAnd();
  std::optional<Predicate> parseNot();
  std::optional<Predicate> parseComparison();
  bool parseOperator(ComparisonOperator& op);
  bool parseOptions(unsigned& options);
  std::optional<Expression> parseExpression();
  std::optional<Expression> parseArgument(const Token& token);
  std::optional<Expression> parseKeyPathOrFunction(const Token& first);
  std::optional<Expression> parseCast(const Token& first);
  std::optional<std::vector<Expression>> parseList(const char* close);
  std::optional<Expression> parseNumber(const Token& token, bool negative);

  std::string format_;
  const foundation::Array& arguments_;
  std::size_t nextArgument_ = 0;
  std::vector<Token> tokens_;
  std::size_t cursor_ = 0;
  std::size_t depth_ = 0;  // nesting of NOT, parentheses, braces and calls now being parsed
  std::optional<Failure> failure_;
};

}  // namespace coredata
