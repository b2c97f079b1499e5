#include "telemetry/analytics/TLAnalytics+Validation.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLPageLog.h"
#include "telemetry/analytics/Model/TLStartSessionLog.h"
#include "telemetry/core/Internals/Model/TLLogWithProperties.h"
#include "telemetry/core/Internals/Util/TLUtility+PropertyValidation.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Array;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;
using std::string;
namespace V = TLAnalyticsValidation;

const string kEmoji = "\xF0\x9F\x98\x80";  // one character, two UTF-16 units

template <class T>
std::shared_ptr<T> namedLog(std::optional<string> name) {
  auto log = std::make_shared<T>();
  log->setTimestamp(Date::now());
  log->setDevice(test::minimalDevice());
  log->setName(std::move(name));
  return log;
}

Dictionary numbered(int count) {
  Dictionary properties;
  for (int i = 0; i < count; ++i) properties.set("key" + std::to_string(i), "value" + std::to_string(i));
  return properties;
}

TEST(TLAnalyticsValidationTest, NamesAreRefusedWhenEmptyAndCutAfter256Units) {
  const string name256(256, 'n');
  const struct {
    std::optional<string> name;
    std::optional<string> expected;
    std::vector<string> errors;
    std::vector<string> warnings;
  } cases[] = {
      {std::nullopt, std::nullopt, {"event name cannot be null or empty"}, {}},
      {"", std::nullopt, {"event name cannot be null or empty"}, {}},
      {"applyChanges", "applyChanges", {}, {}},
      {name256, name256, {}, {}},
      {name256 + "x",
       name256,
       {},
       {"event '" + name256 + "x' : name length cannot be longer than 256 characters. Name will be truncated."}},
      // The 256th unit would be the first half of the emoji: it is left out whole.
      {string(255, 'a') + kEmoji,
       string(255, 'a'),
       {},
       {"event '" + string(255, 'a') + kEmoji +
        "' : name length cannot be longer than 256 characters. Name will be truncated."}},
  };
  for (const auto& c : cases) {
    test::TLLogRecorder recorder;
    EXPECT_EQ(V::validateEventName(c.name, "event"), c.expected) << c.name.value_or("(none)");
    EXPECT_EQ(recorder.messages(TLLogLevelError), c.errors);
    EXPECT_EQ(recorder.messages(TLLogLevelWarning), c.warnings);
    for (const auto& entry : recorder.entries()) EXPECT_EQ(entry.tag, "TelemetryAnalytics");
  }
}

TEST(TLAnalyticsValidationTest, TheFilterDropsEventsAndPagesWithoutAUsableNameAndTrimsTheOthers) {
  test::TLLogRecorder recorder;
  auto emptyPage = namedLog<TLPageLog>("");
  emptyPage->setProperties(numbered(25));
  EXPECT_TRUE(V::shouldFilterLog(emptyPage));
  EXPECT_EQ(recorder.messages(TLLogLevelError), std::vector<string>{"page name cannot be null or empty"});
  EXPECT_EQ(emptyPage->properties()->size(), 25u);  // a dropped log is left as it was

  auto event = namedLog<TLEventLog>(string(300, 'e'));
  event->setEventId("id");
  event->setProperties(numbered(25));
  EXPECT_FALSE(V::shouldFilterLog(event));
  EXPECT_EQ(event->name(), string(256, 'e'));
  EXPECT_EQ(*event->properties(), TLUtility::validateProperties(numbered(25), "", ""));

  auto bare = namedLog<TLPageLog>("Settings");
  EXPECT_FALSE(V::shouldFilterLog(bare));
  EXPECT_EQ(bare->properties(), Dictionary{});  // absent becomes empty, which the JSON leaves out
  EXPECT_FALSE(test::parseJson(*bare->serializeLogWithPrettyPrinting(false)).dictionaryValue().contains("properties"));
}

TEST(TLAnalyticsValidationTest, TheFilterLeavesEveryOtherLogAlone) {
  auto session = std::make_shared<TLStartSessionLog>();  // not even valid
  auto other = std::make_shared<TLLogWithProperties>();
  other->setType("event");
  other->setProperties(numbered(30));
  test::TLLogRecorder recorder;
  EXPECT_FALSE(V::shouldFilterLog(session));
  EXPECT_FALSE(V::shouldFilterLog(other));
  EXPECT_FALSE(V::shouldFilterLog(nullptr));
  EXPECT_EQ(other->properties()->size(), 30u);
  EXPECT_TRUE(recorder.entries().empty());
}

TEST(TLAnalyticsValidationTest, TypedPropertiesKeepTheFirstTwentyWithTheirKeysAndTextCut) {
  for (int count : {20, 21}) {
    auto bag = std::make_shared<TLEventProperties>();
    for (int i = 0; i < count; ++i) bag->setInt64(i, "k" + std::to_string(i));
    test::TLLogRecorder recorder;
    const auto valid = V::validateTelemetryEventProperties(bag);
    EXPECT_EQ(valid->count(), 20u);
    EXPECT_TRUE(valid->properties().contains("k19"));
    EXPECT_FALSE(valid->properties().contains("k20"));
    EXPECT_EQ(recorder.messages(TLLogLevelWarning),
              count == 20 ? std::vector<string>{}
                          : std::vector<string>{"Typed properties cannot contain more than 20 items. Skipping other "
                                                "properties."});
  }

  const string key125(125, 'k');
  auto bag = std::make_shared<TLEventProperties>();
  bag->setString(string(125, 'v'), "exact")
      .setString(string(126, 'w'), "long")
      .setBool(true, key125 + "first")  // agrees with the next key in its first 125 units
      .setDouble(2.5, key125 + "second")
      .setString("", "");
  test::TLLogRecorder recorder;
  const auto valid = V::validateTelemetryEventProperties(bag);
  EXPECT_EQ(valid->serializeToArray(),
            (Array{Dictionary{{"type", "string"}, {"name", "exact"}, {"value", string(125, 'v')}},
                   Dictionary{{"type", "string"}, {"name", "long"}, {"value", string(125, 'w')}},
                   Dictionary{{"type", "double"}, {"name", key125}, {"value", 2.5}},  // the later one wins
                   Dictionary{{"type", "string"}, {"name", ""}, {"value", ""}}}));
  EXPECT_EQ(recorder.messages(TLLogLevelWarning),
            (std::vector<string>{
                "Typed property value length cannot exceed 125 characters. Property value will be truncated.",
                "Typed property '" + key125 +
                    "first': key length cannot exceed 125 characters. Property value will be truncated.",
                "Typed property '" + key125 +
                    "second': key length cannot exceed 125 characters. Property value will be truncated."}));
  EXPECT_EQ(bag->count(), 5u);  // the original bag is not changed
  EXPECT_TRUE(V::validateTelemetryEventProperties(nullptr)->isEmpty());
}

TEST(TLAnalyticsValidationTest, NonTextPropertiesKeepTheirValueAndOnlyTheirKeyIsCut) {
  const Date when = Date::fromTimeIntervalSince1970(1548942307.123);
  const string longKey(130, 'x');
  TLEventProperties bag;
  bag.setBool(true, "b").setInt64(INT64_MIN, "l").setDouble(-0.25, "d").setDate(when, longKey);
  for (const auto& [key, value] : bag.properties()) {
    const auto original = value.objectAs<TLTypedProperty>();
    const auto copy = V::validateTelemetryTypedProperty(*original);
    ASSERT_TRUE(copy) << key;
    EXPECT_NE(copy, original);  // a copy, not the same object
    EXPECT_TRUE(copy->isEqual(*original)) << key;  // same kind and value
    EXPECT_EQ(copy->name(), key == longKey ? string(125, 'x') : key);
  }
  TLTypedProperty unknownKind;
  unknownKind.setName("n");
  EXPECT_FALSE(V::validateTelemetryTypedProperty(unknownKind));
}

}  // namespace
