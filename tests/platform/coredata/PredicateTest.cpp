#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/Predicate.h"
#include "platform/foundation/KeyValueCoding.h"

namespace {

using coredata::ComparisonOperator;
using coredata::Expression;
using coredata::Predicate;
using foundation::Array;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

// An object read through key-value coding whose properties are fixed: unknown keys are errors.
class Record : public foundation::Object, public foundation::KeyValueCoding {
 public:
  explicit Record(Dictionary properties) : properties_(std::move(properties)) {}
  Value valueForKey(const std::string& key) const override { return properties_.get(key); }
  bool hasKey(const std::string& key) const override { return properties_.contains(key); }

 private:
  Dictionary properties_;
};

Dictionary hostProperties() {
  return Dictionary{
      {"title", "Work Hosts"},    {"guid", "abc"},          {"isEnabled", true},
      {"isEtcHostsPreview", false}, {"isRemote", false},      {"remoteURL", Value()},
      {"sortOrder", 1},           {"score", 2.5},           {"created", Date::fromTimeIntervalSinceReferenceDate(100)},
      {"tags", Array{"a", "b"}},  {"name", "\xC3\x89" "clair"},  // "Éclair", precomposed
  };
}

struct EvaluationCase {
  const char* format;
  Array arguments;
  bool expected;
};

class PredicateEvaluation : public testing::TestWithParam<EvaluationCase> {};

// Each case runs against the same properties held in a dictionary and in a key-value coding object.
TEST_P(PredicateEvaluation, MatchesOnDictionariesAndObjects) {
  const EvaluationCase& c = GetParam();
  foundation::Error error;
  auto predicate = Predicate::withFormat(c.format, c.arguments, &error);
  ASSERT_TRUE(predicate) << c.format << ": " << error.localizedDescription();
  const Value objects[] = {Value(hostProperties()), Value(std::make_shared<Record>(hostProperties()))};
  for (const Value& object : objects) {
    foundation::Error evaluationError;
    EXPECT_EQ(predicate->evaluate(object, &evaluationError), c.expected) << c.format;
    EXPECT_TRUE(evaluationError.domain().empty()) << c.format << ": " << evaluationError.localizedDescription();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PredicateEvaluation,
    testing::Values(
        // What the application and the layer build.
        EvaluationCase{"isEtcHostsPreview == false AND isEnabled == true", {}, true},
        EvaluationCase{"isEnabled == true AND isEtcHostsPreview == false", {}, true},
        EvaluationCase{"isRemote == true", {}, false},
        EvaluationCase{"isEtcHostsPreview == true", {}, false},
        EvaluationCase{"%K == %@", {"guid", "abc"}, true},
        EvaluationCase{"%K = %@", {"guid", "xyz"}, false},
        EvaluationCase{"%K IN %@", {"guid", Array{"x", "abc"}}, true},
        EvaluationCase{"%K IN %@", {"guid", Array{}}, false},
        // Nil: equal only to nil; != true against a value; ordering and string operators false.
        EvaluationCase{"remoteURL == nil", {}, true},
        EvaluationCase{"remoteURL != nil", {}, false},
        EvaluationCase{"remoteURL == %@", {Value()}, true},
        EvaluationCase{"title == nil", {}, false},
        EvaluationCase{"title != NULL", {}, true},
        EvaluationCase{"title == %@", {Value()}, false},
        EvaluationCase{"nil == nil", {}, true},
        EvaluationCase{"remoteURL < 5", {}, false},
        EvaluationCase{"remoteURL >= 5", {}, false},
        EvaluationCase{"remoteURL BEGINSWITH 'h'", {}, false},
        EvaluationCase{"remoteURL IN {1, 2}", {}, false},
        EvaluationCase{"title IN nil", {}, false},
        // Numbers compare by value; Booleans are numbers.
        EvaluationCase{"isEnabled == 1", {}, true},
        EvaluationCase{"isEnabled == YES AND isRemote == NO", {}, true},
        EvaluationCase{"sortOrder == 1.0", {}, true},
        EvaluationCase{"sortOrder > 0 AND sortOrder >= 1 AND sortOrder <= 1", {}, true},
        EvaluationCase{"sortOrder < 1", {}, false},
        EvaluationCase{"sortOrder > -1", {}, true},
        EvaluationCase{"sortOrder =< 0x1 AND sortOrder => 01", {}, true},
        EvaluationCase{"sortOrder != 2 AND sortOrder <> 3", {}, true},
        EvaluationCase{"score > 2 AND score < 3", {}, true},
        EvaluationCase{"score BETWEEN {2, 3}", {}, true},
        EvaluationCase{"score BETWEEN %@", {Array{3, 4}}, false},
        EvaluationCase{"sortOrder IN {2, 1.0}", {}, true},
        EvaluationCase{"sortOrder == '1'", {}, false},
        EvaluationCase{"sortOrder == %d AND score > %f", {1, 2.0}, true},
        EvaluationCase{"title == %s", {"Work Hosts"}, true},
        // Strings: lexical, with [c] and [d].
        EvaluationCase{"title == 'Work Hosts'", {}, true},
        EvaluationCase{"title == \"work hosts\"", {}, false},
        EvaluationCase{"title ==[c] 'work hosts'", {}, true},
        EvaluationCase{"title < 'Xa' AND title > 'Wa'", {}, true},
        EvaluationCase{"title > 'work'", {}, false},
        EvaluationCase{"title BEGINSWITH 'Work'", {}, true},
        EvaluationCase{"title BEGINSWITH 'work'", {}, false},
        EvaluationCase{"title ENDSWITH[c] 'HOSTS'", {}, true},
        EvaluationCase{"title CONTAINS 'k H'", {}, true},
        EvaluationCase{"title CONTAINS[c] 'K h'", {}, true},
        EvaluationCase{"title LIKE 'W*s'", {}, true},
        EvaluationCase{"title LIKE 'W?rk*'", {}, true},
        EvaluationCase{"title LIKE 'Work'", {}, false},
        EvaluationCase{"title LIKE[c] 'work hosts'", {}, true},
        EvaluationCase{"title LIKE '*\\\\*'", {}, false},
        EvaluationCase{"'Hosts' IN title", {}, true},
        EvaluationCase{"name ==[cd] 'eclair'", {}, true},
        EvaluationCase{"name == 'Eclair'", {}, false},
        EvaluationCase{"name BEGINSWITH[d] 'Ecl'", {}, true},
        EvaluationCase{"name ==[c] '\xC3\xA9" "clair'", {}, true},
        EvaluationCase{"title MATCHES 'W.*s'", {}, true},
        EvaluationCase{"title MATCHES 'ork'", {}, false},
        EvaluationCase{"title MATCHES[c] 'work\\\\s.*'", {}, true},
        EvaluationCase{"sortOrder BEGINSWITH '1'", {}, false},
        // Dates by time.
        EvaluationCase{"created > %@", {Date::fromTimeIntervalSinceReferenceDate(50)}, true},
        EvaluationCase{"created == %@", {Date::fromTimeIntervalSinceReferenceDate(100)}, true},
        EvaluationCase{"created < %@", {Date::fromTimeIntervalSinceReferenceDate(100)}, false},
        // Collections.
        EvaluationCase{"'a' IN tags", {}, true},
        EvaluationCase{"tags CONTAINS 'b'", {}, true},
        EvaluationCase{"tags CONTAINS 'z'", {}, false},
        EvaluationCase{"ANY tags == 'b'", {}, true},
        EvaluationCase{"SOME tags BEGINSWITH 'c'", {}, false},
        EvaluationCase{"ALL tags IN {'a', 'b', 'c'}", {}, true},
        EvaluationCase{"ALL tags == 'a'", {}, false},
        EvaluationCase{"NONE tags == 'z'", {}, true},
        EvaluationCase{"tags.@count == 2", {}, true},
        EvaluationCase{"count(tags) == 2 AND max:(tags) == 'b'", {}, true},
        // Compounds, precedence, keywords in any case, SELF.
        EvaluationCase{"NOT isRemote == true", {}, true},
        EvaluationCase{"!(isRemote == true)", {}, true},
        EvaluationCase{"isRemote == true OR sortOrder == 1", {}, true},
        EvaluationCase{"isRemote == true || sortOrder == 2", {}, false},
        EvaluationCase{"isEnabled == true && sortOrder == 1", {}, true},
        EvaluationCase{"isEnabled == true OR isRemote == true AND sortOrder == 2", {}, true},
        EvaluationCase{"(isEnabled == true OR isRemote == true) AND sortOrder == 2", {}, false},
        EvaluationCase{"NOT NOT isEnabled == true", {}, true},
        EvaluationCase{"isEnabled == true and sortOrder == 1 or FALSEPREDICATE", {}, true},
        EvaluationCase{"SELF.title == 'Work Hosts'", {}, true},
        EvaluationCase{"SELF != nil", {}, true},
        EvaluationCase{"TRUEPREDICATE", {}, true},
        EvaluationCase{"FALSEPREDICATE OR truepredicate", {}, true},
        EvaluationCase{"FALSEPREDICATE", {}, false}));

// A key the object does not have fails the evaluation (a dictionary merely lacks the entry, which
// reads as nil), and so do patterns that do not compile and functions over unfit values.
TEST(PredicateEvaluationErrors, UnknownKeysAndBadPatternsFailWithAnError) {
  struct Case {
    const char* format;
    long code;
  };
  const Case cases[] = {
      {"missing == 1", coredata::kKeyPathNotFoundErrorCode},
      {"title == 'x' OR missing == 1", coredata::kKeyPathNotFoundErrorCode},
      {"NOT missing == 1", coredata::kKeyPathNotFoundErrorCode},
      {"ANY missing.tags == 1", coredata::kKeyPathNotFoundErrorCode},
      {"title MATCHES '('", coredata::kPredicateFormatErrorCode},
      {"sum:(title) == 1", coredata::kPredicateFormatErrorCode},
  };
  const Value object(std::make_shared<Record>(Dictionary{{"title", "Work Hosts"}}));
  for (const Case& c : cases) {
    auto predicate = Predicate::withFormat(c.format);
    ASSERT_TRUE(predicate) << c.format;
    foundation::Error error;
    EXPECT_FALSE(predicate->evaluate(object, &error)) << c.format;
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain) << c.format;
    EXPECT_EQ(error.code(), c.code) << c.format;
  }
}

TEST(PredicateEvaluationErrors, SelfComparesTheObjectItself) {
  auto record = std::make_shared<Record>(Dictionary{{"title", "a"}});
  auto other = std::make_shared<Record>(Dictionary{{"title", "a"}});
  auto predicate = Predicate::withFormat("SELF == %@ AND title == 'a'", {Value(record)});
  ASSERT_TRUE(predicate);
  EXPECT_TRUE(predicate->evaluate(Value(record)));
  EXPECT_FALSE(predicate->evaluate(Value(other)));
}

struct ParseErrorCase {
  const char* format;
  Array arguments;
  std::size_t position;
};

class PredicateParseError : public testing::TestWithParam<ParseErrorCase> {};

TEST_P(PredicateParseError, NamesThePositionOfTheFault) {
  const ParseErrorCase& c = GetParam();
  foundation::Error error;
  EXPECT_FALSE(Predicate::withFormat(c.format, c.arguments, &error)) << c.format;
  EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
  EXPECT_EQ(error.code(), coredata::kPredicateFormatErrorCode);
  EXPECT_EQ(error.localizedDescription(), "Unable to parse the format string \"" + std::string(c.format) +
                                              "\" at position " + std::to_string(c.position));
  EXPECT_TRUE(error.localizedFailureReason()) << c.format;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PredicateParseError,
    testing::Values(ParseErrorCase{"", {}, 0}, ParseErrorCase{"   ", {}, 3},
                    ParseErrorCase{"isEnabled", {}, 9}, ParseErrorCase{"isEnabled ==", {}, 12},
                    ParseErrorCase{"isEnabled = = 1", {}, 12}, ParseErrorCase{"isEnabled == true AND", {}, 21},
                    ParseErrorCase{"(isEnabled == true", {}, 18}, ParseErrorCase{"isEnabled == true)", {}, 17},
                    ParseErrorCase{"a == 1 b == 2", {}, 7}, ParseErrorCase{"title == 'abc", {}, 9},
                    ParseErrorCase{"a == $x", {}, 5}, ParseErrorCase{"a ==[z] 1", {}, 5},
                    ParseErrorCase{"a ==[c 1", {}, 7}, ParseErrorCase{"foo(a) == 1", {}, 0},
                    ParseErrorCase{"a # b", {}, 2}, ParseErrorCase{"a == 0x", {}, 5},
                    ParseErrorCase{"a == 12abc", {}, 7}, ParseErrorCase{"a == 1e", {}, 6},
                    ParseErrorCase{"a. == 1", {}, 3}, ParseErrorCase{"a IN {1, 2", {}, 10},
                    ParseErrorCase{"AND == 1", {}, 0}, ParseErrorCase{"a == ~", {}, 5},
                    ParseErrorCase{"a == %q", {}, 5}, ParseErrorCase{"a == %", {}, 5},
                    // Arguments: missing, or not a key path for %K.
                    ParseErrorCase{"%K == %@", {}, 0}, ParseErrorCase{"%K == %@", {"guid"}, 6},
                    ParseErrorCase{"%K == %@", {5, "x"}, 0}, ParseErrorCase{"%K == 1", {""}, 0},
                    // Positions count UTF-16 units, not bytes: "é" is two bytes, one unit.
                    ParseErrorCase{"title == '\xC3\xA9' AND ==", {}, 17}));

// No text may crash the parser: every prefix of valid formats either parses or fails cleanly.
TEST(PredicateParseRobustness, EveryPrefixParsesOrFails) {
  const std::string formats[] = {
      "(isEnabled == true OR title LIKE[cd] \"a*\\\"\") AND NOT ANY tags IN {1, -2.5e3, 'x'}",
      "SELF.guid == %@ && sum:(amounts) BETWEEN %@ || #and.b != nil",
      "\xC3\xA9t\xC3\xA9 == '\xF0\x9F\x98\x80' AND \xFF\xFE == 1",
  };
  const Array arguments{"x", Array{1, 2}};
  for (const std::string& format : formats) {
    for (std::size_t length = 0; length <= format.size(); ++length) {
      foundation::Error error;
      auto predicate = Predicate::withFormat(format.substr(0, length), arguments, &error);
      EXPECT_TRUE(predicate || error.code() == coredata::kPredicateFormatErrorCode) << format.substr(0, length);
      EXPECT_EQ(Predicate::withFormat(format.substr(0, length), arguments).has_value(), predicate.has_value());
    }
  }
  // Hostile nesting is refused with an error instead of exhausting the stack.
  for (const std::string& opener : {std::string("("), std::string("NOT "), std::string("!"), std::string("a IN {")}) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += opener;
    foundation::Error error;
    EXPECT_FALSE(Predicate::withFormat(deep, {}, &error)) << opener;
    EXPECT_EQ(error.code(), coredata::kPredicateFormatErrorCode) << opener;
  }
  std::string nested = "a == 1";
  for (int i = 0; i < 100; ++i) nested = "(" + nested + ")";
  EXPECT_TRUE(Predicate::withFormat("NOT " + nested));
  EXPECT_TRUE(Predicate::withFormat(formats[0], arguments));
  EXPECT_TRUE(Predicate::withFormat(formats[1], arguments));
}

struct FormatCase {
  const char* format;
  Array arguments;
  const char* canonical;
};

class PredicateFormat : public testing::TestWithParam<FormatCase> {};

// The canonical text, and that parsing it again gives the same predicate.
TEST_P(PredicateFormat, PrintsCanonicalTextThatParsesBack) {
  const FormatCase& c = GetParam();
  auto predicate = Predicate::withFormat(c.format, c.arguments);
  ASSERT_TRUE(predicate) << c.format;
  EXPECT_EQ(predicate->predicateFormat(), c.canonical);
  auto again = Predicate::withFormat(predicate->predicateFormat());
  ASSERT_TRUE(again) << c.canonical;
  EXPECT_TRUE(*again == *predicate) << c.canonical;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PredicateFormat,
    testing::Values(
        FormatCase{"isEnabled == true AND isEtcHostsPreview == false", {}, "isEnabled == 1 AND isEtcHostsPreview == 0"},
        FormatCase{"title = 'x'", {}, "title == \"x\""},
        FormatCase{"%K IN %@", {"guid", Array{"a", "b"}}, "guid IN {\"a\", \"b\"}"},
        FormatCase{"title like[C] 'a*'", {}, "title LIKE[c] \"a*\""},
        FormatCase{"name beginswith[dc] 'e'", {}, "name BEGINSWITH[cd] \"e\""},
        FormatCase{"NOT (a == 1 OR b == 2)", {}, "NOT (a == 1 OR b == 2)"},
        FormatCase{"(a == 1 OR b == 2) AND c =< 3", {}, "(a == 1 OR b == 2) AND c <= 3"},
        FormatCase{"a == 1 AND (b == 2 AND c == 3)", {}, "a == 1 AND (b == 2 AND c == 3)"},
        FormatCase{"a <> nil", {}, "a != nil"},
        FormatCase{"some tags == 'x'", {}, "ANY tags == \"x\""},
        FormatCase{"NONE tags == 'x'", {}, "NOT ANY tags == \"x\""},
        FormatCase{"TRUEPREDICATE", {}, "TRUEPREDICATE"},
        FormatCase{"a == 1.5 AND b == -3 AND c > 0x10", {}, "a == 1.5 AND b == -3 AND c > 16"},
        FormatCase{"a BETWEEN {1, 5}", {}, "a BETWEEN {1, 5}"},
        FormatCase{"title == 'say \"hi\"\\\\'", {}, "title == \"say \\\"hi\\\"\\\\\""},
        FormatCase{"SELF == nil", {}, "SELF == nil"},
        FormatCase{"#size == 1 AND a.#in != 2 AND %K == 3", {"not.b"}, "#size == 1 AND a.#in != 2 AND #not.b == 3"},
        FormatCase{"%K = min(%@)", {"sortOrder", "sortOrder"}, "sortOrder == min:(\"sortOrder\")"},
        FormatCase{"created > %@", {Date::fromTimeIntervalSinceReferenceDate(1.5)},
                   "created > CAST(1.500000, \"NSDate\")"}));

TEST(PredicateBuiltInCode, MatchesTheParsedFormAndItsText) {
  Predicate built = Predicate::andPredicate({
      Predicate::comparison("isEnabled", ComparisonOperator::EqualTo, true),
      Predicate::comparison("isEtcHostsPreview", ComparisonOperator::EqualTo, false),
  });
  EXPECT_EQ(built.predicateFormat(), "isEnabled == 1 AND isEtcHostsPreview == 0");
  EXPECT_TRUE(built == *Predicate::withFormat("isEnabled == true AND isEtcHostsPreview == false"));
  EXPECT_TRUE(built.evaluate(Value(hostProperties())));

  Predicate notRemote = Predicate::notPredicate(Predicate::comparison("isRemote", ComparisonOperator::EqualTo, true));
  EXPECT_TRUE(notRemote.evaluate(Value(hostProperties())));
  EXPECT_EQ(notRemote.predicateFormat(), "NOT isRemote == 1");

  Predicate caseless = Predicate::comparison("title", ComparisonOperator::BeginsWith, "work",
                                             coredata::ComparisonOption::kCaseInsensitive);
  EXPECT_TRUE(caseless.evaluate(Value(hostProperties())));

  // The empty compounds are the identity of their operator.
  EXPECT_TRUE(Predicate::andPredicate({}).evaluate(Value()));
  EXPECT_FALSE(Predicate::orPredicate({}).evaluate(Value()));
  EXPECT_EQ(Predicate::andPredicate({}).predicateFormat(), "TRUEPREDICATE");
  EXPECT_EQ(Predicate::withValue(false).predicateFormat(), "FALSEPREDICATE");
  EXPECT_TRUE(Predicate().evaluate(Value()));
}

TEST(PredicateKeyPaths, ListsEveryKeyPathOnceInOrder) {
  auto predicate = Predicate::withFormat(
      "isEnabled == true AND (title BEGINSWITH 'a' OR isEnabled == false) AND SELF.guid IN %@ AND "
      "count:(tags) > 1 AND SELF != nil AND #in == 2",
      {Array{"x"}});
  ASSERT_TRUE(predicate);
  EXPECT_EQ(predicate->keyPaths(), (std::vector<std::string>{"isEnabled", "title", "guid", "tags", "in"}));
  EXPECT_TRUE(Predicate::withFormat("TRUEPREDICATE")->keyPaths().empty());
}

}  // namespace
