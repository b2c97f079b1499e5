#include "platform/foundation/JSONSerialization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using foundation::Array;
using foundation::Data;
using foundation::Dictionary;
using foundation::Error;
using foundation::JSONSerialization;
using foundation::Value;

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }
std::string text(const Data& data) { return std::string(data.begin(), data.end()); }

std::optional<Value> read(const std::string& json, unsigned options = 0, Error* error = nullptr) {
  return JSONSerialization::JSONObjectWithData(bytes(json), options, error);
}

std::string write(const Value& value, unsigned options = 0) {
  Error error;
  auto data = JSONSerialization::dataWithJSONObject(value, options, &error);
  EXPECT_TRUE(data) << error.description();
  return data ? text(*data) : std::string();
}

TEST(JSONSerializationTest, ReadsTypesKeepingBooleansApartFromNumbers) {
  auto value = read(R"({"t":true,"f":false,"one":1,"neg":-7,"big":18446744073709551615,)"
                    R"("half":1.5,"s":"a\/b\u00e9","n":null,"list":[1,"x"],"o":{}})");
  ASSERT_TRUE(value);
  const Value& v = *value;
  EXPECT_EQ(v["t"].type(), Value::Type::Bool);
  EXPECT_TRUE(v["t"].boolValue());
  EXPECT_EQ(v["f"].type(), Value::Type::Bool);
  EXPECT_EQ(v["one"].type(), Value::Type::Int);
  EXPECT_EQ(v["neg"].intValue(), -7);
  EXPECT_EQ(v["big"].type(), Value::Type::UInt);
  EXPECT_EQ(v["big"].uintValue(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(v["half"].type(), Value::Type::Double);
  EXPECT_EQ(v["s"].stringValue(), "a/b\u00e9");
  EXPECT_TRUE(v["n"].isNull());
  EXPECT_TRUE(v.dictionaryValue().contains("n"));
  EXPECT_EQ(v["list"], Value(Array{1, "x"}));
  EXPECT_EQ(v.dictionaryValue().keys(),
            (std::vector<std::string>{"t", "f", "one", "neg", "big", "half", "s", "n", "list", "o"}));
}

TEST(JSONSerializationTest, RoundTripKeepsTypes) {
  Value original(Dictionary{{"flag", true}, {"count", 0}, {"ratio", 0.1}, {"name", "x/y"},
                            {"nested", Array{false, 1, 2.5, Value(), Dictionary{{"k", "v"}}}}});
  for (unsigned options : {0u, unsigned(foundation::JSONWritingPrettyPrinted)}) {
    auto data = JSONSerialization::dataWithJSONObject(original, options);
    ASSERT_TRUE(data);
    auto back = JSONSerialization::JSONObjectWithData(*data);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, original);
    EXPECT_EQ((*back)["flag"].type(), Value::Type::Bool);
    EXPECT_EQ((*back)["count"].type(), Value::Type::Int);
    EXPECT_EQ((*back)["nested"][0].type(), Value::Type::Bool);
    EXPECT_EQ((*back)["nested"][1].type(), Value::Type::Int);
  }
}

TEST(JSONSerializationTest, MalformedInputIsAnErrorNeverACrash) {
  const std::string cases[] = {
      "",        "   ",       "{",          "[1,]",       "{\"a\" 1}", "{'a':1}",  "[1 2]",
      "tru",     "[NaN]",     "[1e400]",    "[\"\\x\"]",  "[\"\xff\"]", "[\"\\ud800\"]", "{} {}",
      "[01]",    "{\"a\":1,}", "/* c */ []", "\xEF\xBB\xBF",
  };
  for (const std::string& json : cases) {
    Error error;
    EXPECT_FALSE(read(json, foundation::JSONReadingAllowFragments, &error)) << json;
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain) << json;
    EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError) << json;
    EXPECT_TRUE(error.userInfo().get(foundation::kDebugDescriptionErrorKey).isString()) << json;
  }
}

TEST(JSONSerializationTest, DeepNestingIsRefusedNotOverflowed) {
  Error error;
  EXPECT_FALSE(read(std::string(200000, '['), 0, &error));
  EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError);

  std::string atLimit = std::string(JSONSerialization::kMaximumDepth, '[') +
                        std::string(JSONSerialization::kMaximumDepth, ']');
  EXPECT_TRUE(read(atLimit));
  EXPECT_FALSE(read("[" + atLimit + "]"));
}

TEST(JSONSerializationTest, FragmentsNeedTheOption) {
  struct Case { std::string json; Value expected; };
  const Case cases[] = {{"3", 3}, {"\"s\"", "s"}, {"true", true}, {"null", Value()}, {" 2.5 ", 2.5}};
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(read(c.json, 0, &error)) << c.json;
    EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError);
    auto value = read(c.json, foundation::JSONReadingAllowFragments);
    ASSERT_TRUE(value) << c.json;
    EXPECT_EQ(value->type(), c.expected.type()) << c.json;
    EXPECT_EQ(*value, c.expected) << c.json;
  }
  // A byte-order mark before the text is skipped.
  EXPECT_TRUE(read("\xEF\xBB\xBF[1]"));
}

TEST(JSONSerializationTest, WritesTheCompactForm) {
  struct Case { Value value; std::string expected; };
  const Case cases[] = {
      {Array{true, false, Value(), 0, -12, 1.5, 0.1, 3.0, 1e21}, "[true,false,null,0,-12,1.5,0.1,3,1e+21]"},
      {Array{Value(std::numeric_limits<std::uint64_t>::max())}, "[18446744073709551615]"},
      {Dictionary{{"url", "http://h/p"}}, R"({"url":"http:\/\/h\/p"})"},
      {Array{"q\"b\\n\n\t\x01\u00e9"}, "[\"q\\\"b\\\\n\\n\\t\\u0001\u00e9\"]"},
      {Dictionary{{"b", 1}, {"a", 2}}, R"({"b":1,"a":2})"},
      {Array{Array{}, Dictionary{}}, "[[],{}]"},
  };
  for (const Case& c : cases) EXPECT_EQ(write(c.value), c.expected);
}

TEST(JSONSerializationTest, WritingOptions) {
  Value value(Dictionary{{"b", Array{1, 2}}, {"a", "x/y"}});
  EXPECT_EQ(write(value, foundation::JSONWritingSortedKeys), R"({"a":"x\/y","b":[1,2]})");
  EXPECT_EQ(write(value, foundation::JSONWritingWithoutEscapingSlashes), R"({"b":[1,2],"a":"x/y"})");
  EXPECT_EQ(write(value, foundation::JSONWritingPrettyPrinted),
            "{\n  \"b\" : [\n    1,\n    2\n  ],\n  \"a\" : \"x\\/y\"\n}");
  EXPECT_EQ(write(Value("s"), foundation::JSONWritingFragmentsAllowed), "\"s\"");
}

TEST(JSONSerializationTest, InvalidObjectsAreRefusedWithAnError) {
  struct Case { const char* name; Value value; unsigned options; };
  const Case cases[] = {
      {"top-level scalar", Value(1), 0},
      {"NaN", Array{std::nan("")}, 0},
      {"infinity", Array{std::numeric_limits<double>::infinity()}, 0},
      {"data", Array{Data{1, 2}}, 0},
      {"date", Dictionary{{"d", foundation::Date::now()}}, 0},
      {"object", Array{Value(std::make_shared<foundation::Object>())}, 0},
      {"invalid UTF-8", Array{std::string("\xC3")}, 0},
      {"nested NaN fragment", Value(std::nan("")), foundation::JSONWritingFragmentsAllowed},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(JSONSerialization::dataWithJSONObject(c.value, c.options, &error)) << c.name;
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain) << c.name;
    EXPECT_EQ(error.code(), foundation::kPropertyListWriteInvalidError) << c.name;
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(c.value)) << c.name;
  }
  EXPECT_TRUE(JSONSerialization::isValidJSONObject(Value(Array{Value(), true, "s", Dictionary{{"k", 1.5}}})));
  EXPECT_TRUE(JSONSerialization::isValidJSONObject(Value(Dictionary{})));
}

TEST(JSONSerializationTest, ShortestDoublesReadBackExactly) {
  for (double d : {0.1, 1.0 / 3.0, 2.5e-308, 1.7976931348623157e308, -0.0, 123456.789}) {
    auto back = read(write(Array{d}));
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)[0].doubleValue(), d);
  }
}

}  // namespace
