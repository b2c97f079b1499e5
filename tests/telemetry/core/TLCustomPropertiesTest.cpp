#include "telemetry/core/TLCustomProperties.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLCustomPropertiesLog.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Array;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

const std::string kPatternError(const std::string& key) {
  return "Custom property \"" + key + "\" must match \"^[a-zA-Z][a-zA-Z0-9]*$\"";
}

TEST(TLCustomPropertiesTest, KeysMustBeALetterThenLettersAndDigitsOfAtMost128) {
  const struct {
    std::optional<std::string> key;
    bool accepted;
    std::string error;
  } cases[] = {
      {"a1", true, ""},
      {"Zeta42", true, ""},
      {std::string(128, 'k'), true, ""},
      {"1abc", false, kPatternError("1abc")},
      {"a-b", false, kPatternError("a-b")},
      {"", false, kPatternError("")},
      {"key\n", false, kPatternError("key\n")},  // "$" alone would let the line break through
      {"\xC3\xA9t\xC3\xA9", false, kPatternError("\xC3\xA9t\xC3\xA9")},
      {std::nullopt, false, kPatternError("(null)")},
      {std::string(129, 'k'),
       false, "Custom property \"" + std::string(129, 'k') + "\" length cannot be longer than \"128\" characters."},
  };
  for (const auto& c : cases) {
    TLCustomProperties properties;
    test::TLLogRecorder recorder;
    properties.setString("v", c.key);
    EXPECT_EQ(properties.propertiesImmutableCopy().size(), c.accepted ? 1u : 0u) << c.key.value_or("(null)");
    const auto errors = recorder.messages(TLLogLevelError);
    if (c.accepted) {
      EXPECT_TRUE(errors.empty()) << *c.key;
    } else {
      EXPECT_EQ(errors, std::vector<std::string>{c.error});
    }
  }
}

TEST(TLCustomPropertiesTest, SixtyKeysAreTheMostButASetKeyCanAlwaysBeReplaced) {
  TLCustomProperties properties;
  for (int i = 0; i < 60; ++i) properties.setNumber(i, "k" + std::to_string(i));
  ASSERT_EQ(properties.propertiesImmutableCopy().size(), 60u);

  test::TLLogRecorder recorder;
  properties.setString("new", "k60");
  EXPECT_EQ(recorder.messages(TLLogLevelError),
            std::vector<std::string>{"Custom properties cannot contain more than \"60\" items."});
  EXPECT_FALSE(properties.propertiesImmutableCopy().contains("k60"));

  properties.setString("replaced", "k7").clearPropertyForKey("k8");
  EXPECT_EQ(recorder.messages(TLLogLevelWarning),
            (std::vector<std::string>{"Custom property \"k7\" is already set or cleared and will be overridden.",
                                      "Custom property \"k8\" is already set or cleared and will be overridden."}));
  const Dictionary copy = properties.propertiesImmutableCopy();
  EXPECT_EQ(copy.size(), 60u);
  EXPECT_EQ(copy.get("k7"), Value("replaced"));
  EXPECT_TRUE(copy.contains("k8") && copy.get("k8").isNull());
}

TEST(TLCustomPropertiesTest, ABadValueIsRefusedAndKeepsTheEarlierOne) {
  const struct {
    Value value;
    std::string error;
  } cases[] = {
      {Value(), "Custom property value cannot be null, did you mean to call clear?"},
      {Value(std::string(129, 'v')), "Custom property value length cannot be longer than \"128\" characters."},
      {Value(std::numeric_limits<double>::infinity()), "Custom property value cannot be NaN or infinite."},
      {Value(-std::numeric_limits<double>::infinity()), "Custom property value cannot be NaN or infinite."},
      {Value(std::numeric_limits<double>::quiet_NaN()), "Custom property value cannot be NaN or infinite."},
  };
  for (const auto& c : cases) {
    TLCustomProperties properties;
    properties.setString("before", "key");
    test::TLLogRecorder recorder;
    properties.setObject(c.value, "key");
    EXPECT_EQ(recorder.messages(TLLogLevelError), std::vector<std::string>{c.error});
    EXPECT_EQ(recorder.messages(TLLogLevelWarning).size(), 1u);  // the key was checked first
    EXPECT_EQ(properties.propertiesImmutableCopy().get("key"), Value("before"));
  }

  TLCustomProperties properties;
  test::TLLogRecorder recorder;
  properties.setString(std::nullopt, "s").setDate(std::nullopt, "d");
  properties.setString(std::string(128, 'v'), "long").setString("\xF0\x9F\x98\x80", "emoji");  // 128 and 2 units
  EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 2u);
  EXPECT_EQ(properties.propertiesImmutableCopy().keys(), (std::vector<std::string>{"long", "emoji"}));
}

TEST(TLCustomPropertiesTest, TheLogListsEveryValueWithItsType) {
  TLCustomProperties properties;
  properties.setString("text", "s")
      .setBool(true, "flag")
      .setNumber(1, "one")
      .setNumber(2.5, "half")
      .setDate(Date::fromTimeIntervalSince1970(1548942307.123), "when")
      .clearPropertyForKey("gone")
      .setObject(Value(Array{1, 2}), "list");  // accepted, but no kind the log can write

  auto log = std::make_shared<TLCustomPropertiesLog>();
  log->setTimestamp(Date::fromTimeIntervalSince1970(0));
  log->setDevice(test::minimalDevice());
  log->setProperties(properties.propertiesImmutableCopy());
  ASSERT_TRUE(log->isValid());

  const Value json = test::parseJson(*log->serializeLogWithPrettyPrinting(false));
  EXPECT_EQ(json["type"], Value("customProperties"));
  const Array expected = {
      Dictionary{{"type", "string"}, {"value", "text"}, {"name", "s"}},
      Dictionary{{"type", "boolean"}, {"value", true}, {"name", "flag"}},
      Dictionary{{"type", "number"}, {"value", 1}, {"name", "one"}},
      Dictionary{{"type", "number"}, {"value", 2.5}, {"name", "half"}},
      Dictionary{{"type", "dateTime"}, {"value", "2019-01-31T13:45:07.123Z"}, {"name", "when"}},
      Dictionary{{"type", "clear"}, {"name", "gone"}},
  };
  EXPECT_EQ(json["properties"], Value(expected)) << json.description();
  // Booleans stay JSON Booleans and numbers stay numbers, not the other way round.
  EXPECT_TRUE(json["properties"][1]["value"].isBool());
  EXPECT_FALSE(json["properties"][2]["value"].isBool());
}

TEST(TLCustomPropertiesTest, ALogNeedsSomePropertiesButWritesAnEmptyListItCannotFill) {
  auto log = std::make_shared<TLCustomPropertiesLog>();
  log->setTimestamp(Date::fromTimeIntervalSince1970(0));
  log->setDevice(test::minimalDevice());
  EXPECT_FALSE(log->isValid());
  log->setProperties(Dictionary{});
  EXPECT_FALSE(log->isValid());
  log->setProperties(Dictionary{{"list", Value(Array{})}});
  EXPECT_TRUE(log->isValid());
  EXPECT_EQ(test::parseJson(*log->serializeLogWithPrettyPrinting(false))["properties"], Value(Array{}));

  auto other = std::make_shared<TLCustomPropertiesLog>();
  other->setTimestamp(Date::fromTimeIntervalSince1970(0));
  other->setDevice(test::minimalDevice());
  EXPECT_FALSE(log->isEqual(*other));
  other->setProperties(Dictionary{{"list", Value(Array{})}});
  EXPECT_TRUE(log->isEqual(*other));
}

}  // namespace
