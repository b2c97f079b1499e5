#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/Expression.h"
#include "platform/foundation/KeyValueCoding.h"

namespace {

using coredata::Expression;
using coredata::ExpressionDescription;
using coredata::PropertyToFetch;
using foundation::Array;
using foundation::Dictionary;
using foundation::Value;

// A record with fixed properties: reading any other key is an error.
class Record : public foundation::Object, public foundation::KeyValueCoding {
 public:
  explicit Record(Dictionary properties) : properties_(std::move(properties)) {}
  Value valueForKey(const std::string& key) const override { return properties_.get(key); }
  bool hasKey(const std::string& key) const override { return properties_.contains(key); }

 private:
  Dictionary properties_;
};

Value record(Value amount, bool enabled, std::string title) {
  return Value(std::make_shared<Record>(
      Dictionary{{"amount", std::move(amount)}, {"isEnabled", enabled}, {"title", std::move(title)}}));
}

Expression call(const char* function, const char* keyPath) {
  return Expression::function(function, {Expression::keyPath(keyPath)});
}

TEST(ExpressionText, DescribesAsThePlatformPrints) {
  struct Case {
    Expression expression;
    const char* text;
  };
  const Case cases[] = {
      {Expression::keyPath("amount"), "amount"},
      {call("sum:", "amount"), "sum:(amount)"},
      {call("average", "amount"), "average:(amount)"},
      {Expression::evaluatedObject(), "SELF"},
      {Expression::constant("a \"b\""), "\"a \\\"b\\\"\""},
      {Expression::constant(Value()), "nil"},
      {Expression::constant(2.5), "2.5"},
      {Expression::constant(Array{1, "x"}), "{1, \"x\"}"},
      {Expression::aggregate({Expression::keyPath("a"), Expression::constant(true)}), "{a, 1}"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expression.description(), c.text);
  EXPECT_EQ(call("sum", "amount"), call("sum:", "amount"));
}

TEST(ExpressionFunctions, AggregateOverObjectsSkippingNil) {
  const Value objects(Array{record(1, true, "a"), record(Value(), false, "b"), record(2, true, "c"),
                            record(3, false, "d")});
  const Value empty{Array{}};
  const Value doubles(Array{Dictionary{{"amount", 1.5}}, Dictionary{{"amount", 2}}});
  struct Case {
    const char* function;
    const Value* objects;
    Value expected;
  };
  const Case cases[] = {
      {"sum:", &objects, 6},        {"count:", &objects, 3},      {"min:", &objects, 1},
      {"max:", &objects, 3},        {"average:", &objects, 2.0},  {"sum:", &doubles, 3.5},
      {"min:", &doubles, 1.5},      {"sum:", &empty, 0},          {"count:", &empty, 0},
      {"min:", &empty, Value()},    {"max:", &empty, Value()},    {"average:", &empty, Value()},
  };
  for (const Case& c : cases) {
    foundation::Error error;
    Value result = call(c.function, "amount").expressionValueWithObject(*c.objects, &error);
    EXPECT_EQ(result, c.expected) << c.function << " over " << c.objects->description();
    EXPECT_TRUE(error.domain().empty()) << error.localizedDescription();
  }
  // Sums of integers stay integers; averages are doubles.
  EXPECT_TRUE(call("sum:", "amount").expressionValueWithObject(objects).isInteger());
  EXPECT_TRUE(call("average:", "amount").expressionValueWithObject(objects).isDouble());
  EXPECT_EQ(call("max:", "title").expressionValueWithObject(objects), Value("d"));
}

TEST(ExpressionFunctions, FailuresReportAnErrorAndGiveNil) {
  const Value objects(Array{record(1, true, "a")});
  struct Case {
    Expression expression;
    long code;
  };
  const Case cases[] = {
      {Expression::keyPath("missing"), coredata::kKeyPathNotFoundErrorCode},
      {call("sum:", "missing"), coredata::kKeyPathNotFoundErrorCode},
      {call("sum:", "title"), coredata::kPredicateFormatErrorCode},
      {call("average:", "title"), coredata::kPredicateFormatErrorCode},
      {call("median:", "amount"), coredata::kPredicateFormatErrorCode},
      {Expression::function("sum:", {}), coredata::kPredicateFormatErrorCode},
      {Expression::aggregate({Expression::keyPath("missing")}), coredata::kKeyPathNotFoundErrorCode},
  };
  for (const Case& c : cases) {
    foundation::Error error;
    EXPECT_TRUE(c.expression.expressionValueWithObject(objects, &error).isNull()) << c.expression.description();
    EXPECT_EQ(error.code(), c.code) << c.expression.description();
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
  }
  std::vector<std::string> keyPaths;
  Expression::aggregate({call("sum:", "a"), Expression::keyPath("b"), Expression::keyPath("a")}).collectKeyPaths(keyPaths);
  EXPECT_EQ(keyPaths, (std::vector<std::string>{"a", "b"}));
}

TEST(ExpressionDescriptionResults, ConvertsToTheResultType) {
  struct Case {
    unsigned long type;
    Value input;
    Value expected;
    foundation::Value::Type expectedType;
  };
  const Case cases[] = {
      {ExpressionDescription::kInteger64, 2.9, 2, Value::Type::Int},
      {ExpressionDescription::kInteger16, -2.9, -2, Value::Type::Int},
      {ExpressionDescription::kInteger32, true, 1, Value::Type::Int},
      {ExpressionDescription::kDouble, 6, 6.0, Value::Type::Double},
      {ExpressionDescription::kBoolean, 2, true, Value::Type::Bool},
      {ExpressionDescription::kString, 6, 6, Value::Type::Int},
      {ExpressionDescription::kUndefined, 2.5, 2.5, Value::Type::Double},
      {ExpressionDescription::kInteger64, Value(), Value(), Value::Type::Null},
      {ExpressionDescription::kInteger64, "x", "x", Value::Type::String},
  };
  for (const Case& c : cases) {
    ExpressionDescription description("result", Expression(), c.type);
    Value converted = description.convertResult(c.input);
    EXPECT_EQ(converted, c.expected) << c.type << " " << c.input.description();
    EXPECT_EQ(converted.type(), c.expectedType) << c.type << " " << c.input.description();
  }
}

ExpressionDescription result(const char* function, const char* keyPath, unsigned long type) {
  return ExpressionDescription("result", call(function, keyPath), type);
}

TEST(DictionaryResults, AggregatesWholeOrByGroup) {
  const Array objects{record(1, true, "a"), record(2, false, "b"), record(3, true, "c")};
  foundation::Error error;

  auto total = coredata::dictionaryResults(objects, {result("sum:", "amount", ExpressionDescription::kInteger64)}, {},
                                           &error);
  ASSERT_TRUE(total) << error.localizedDescription();
  ASSERT_EQ(total->size(), 1u);
  EXPECT_EQ(total->front(), (Dictionary{{"result", 6}}));
  EXPECT_TRUE(total->front().get("result").isInteger());

  const std::vector<PropertyToFetch> grouped{std::string("isEnabled"),
                                             result("count:", "amount", ExpressionDescription::kInteger64)};
  auto counts = coredata::dictionaryResults(objects, grouped, {"isEnabled"}, &error);
  ASSERT_TRUE(counts) << error.localizedDescription();
  EXPECT_EQ(*counts, (std::vector<Dictionary>{Dictionary{{"isEnabled", true}, {"result", 2}},
                                              Dictionary{{"isEnabled", false}, {"result", 1}}}));

  auto sums = coredata::dictionaryResults(
      objects, {std::string("isEnabled"), result("sum:", "amount", ExpressionDescription::kDouble)}, {"isEnabled"},
      &error);
  ASSERT_TRUE(sums);
  EXPECT_EQ(sums->at(0).get("result"), Value(4.0));
  EXPECT_TRUE(sums->at(0).get("result").isDouble());
}

TEST(DictionaryResults, EmptyInputsPlainKeyPathsAndErrors) {
  foundation::Error error;
  // Over nothing: one dictionary; a sum is 0, a minimum has no value and is left out.
  auto empty = coredata::dictionaryResults(
      {}, {result("sum:", "amount", ExpressionDescription::kInteger64),
           ExpressionDescription("least", call("min:", "amount"), ExpressionDescription::kInteger64)},
      {}, &error);
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, (std::vector<Dictionary>{Dictionary{{"result", 0}}}));
  auto emptyGroups = coredata::dictionaryResults({}, {result("count:", "amount", 0)}, {"isEnabled"}, &error);
  ASSERT_TRUE(emptyGroups);
  EXPECT_TRUE(emptyGroups->empty());

  // Without functions: one dictionary per object; nil values are left out.
  const Array objects{record(1, true, "a"), record(Value(), false, "b")};
  auto plain = coredata::dictionaryResults(objects, {std::string("title"), std::string("amount")}, {}, &error);
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, (std::vector<Dictionary>{Dictionary{{"title", "a"}, {"amount", 1}}, Dictionary{{"title", "b"}}}));

  const std::vector<std::vector<PropertyToFetch>> failing{
      {std::string("missing")},
      {result("sum:", "title", 0)},
  };
  for (const auto& properties : failing) {
    foundation::Error failure;
    EXPECT_FALSE(coredata::dictionaryResults(objects, properties, {}, &failure));
    EXPECT_FALSE(failure.domain().empty());
  }
  foundation::Error failure;
  EXPECT_FALSE(coredata::dictionaryResults(objects, {std::string("title")}, {"missing"}, &failure));
  EXPECT_EQ(failure.code(), coredata::kKeyPathNotFoundErrorCode);
}

}  // namespace
