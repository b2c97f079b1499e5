#include "telemetry/analytics/Model/TLEventLog+CommonSchema.h"

#include "telemetry/analytics/Model/TLEventLog.h"

#include <gtest/gtest.h>

#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using Properties = TLEventLogCommonSchema::TypedProperties;

std::shared_ptr<TLTypedProperty> text(const std::string& name, const std::string& value) {
  auto property = std::make_shared<TLStringTypedProperty>();
  property->setName(name);
  property->setValue(value);
  return property;
}
std::shared_ptr<TLTypedProperty> integer(const std::string& name, std::int64_t value) {
  auto property = std::make_shared<TLLongTypedProperty>();
  property->setName(name);
  property->setValue(value);
  return property;
}
std::shared_ptr<TLTypedProperty> real(const std::string& name, double value) {
  auto property = std::make_shared<TLDoubleTypedProperty>();
  property->setName(name);
  property->setValue(value);
  return property;
}
std::shared_ptr<TLTypedProperty> flag(const std::string& name, bool value) {
  auto property = std::make_shared<TLBooleanTypedProperty>();
  property->setName(name);
  property->setValue(value);
  return property;
}
std::shared_ptr<TLTypedProperty> date(const std::string& name, foundation::Date value) {
  auto property = std::make_shared<TLDateTimeTypedProperty>();
  property->setName(name);
  property->setValue(value);
  return property;
}

struct Converted {
  std::string data;      // the "data" JSON, or "none"
  std::string metadata;  // the metadata extension's JSON, or "none"
  std::vector<std::string> warnings;
};

Converted convert(const Properties& properties) {
  test::TLLogRecorder logs;
  TLCommonSchemaLog log;
  log.setExt(std::make_shared<TLCSExtensions>());
  TLEventLogCommonSchema::setPropertiesAndMetadataForCSLog(log, properties, {{"long", 4}, {"double", 6}, {"dateTime", 9}});
  Converted result{"none", "none", logs.messages(TLLogLevelWarning)};
  if (log.data()) result.data = *TLUtility::jsonStringFromObject(*log.data()->serializeToDictionary(), false);
  if (log.ext()->metadataExt) {
    result.metadata = *TLUtility::jsonStringFromObject(*log.ext()->metadataExt->serializeToDictionary(), false);
  }
  return result;
}

TEST(TLEventLogCommonSchema, DottedNamesNestAndTypedOnesGetTheirTypeIds) {
  const auto converted = convert({integer("a.b", 1), text("a.c", "x"), real("d", 2.5), flag("e.f", true),
                                  date("g", foundation::Date::fromTimeIntervalSince1970(1548942307.123))});
  EXPECT_EQ(converted.data, R"({"a":{"b":1,"c":"x"},"d":2.5,"e":{"f":true},"g":"2019-01-31T13:45:07.123Z"})");
  EXPECT_EQ(converted.metadata, R"({"f":{"a":{"f":{"b":4}},"d":6,"g":9}})");
  EXPECT_TRUE(converted.warnings.empty());
}

TEST(TLEventLogCommonSchema, TheFirstOfTwoClashingPropertiesWinsAndTheOtherLeavesNoMetadata) {
  struct Case {
    const char* what;
    Properties properties;
    const char* data;
    const char* metadata;
    const char* warning;
  };
  const Case cases[] = {
      {"leaf first", {text("a", "s"), integer("a.b", 1)}, R"({"a":"s"})", "none",
       "Property key 'b' already has a value, choosing one."},
      {"object first", {integer("a.b", 1), text("a", "s")}, R"({"a":{"b":1}})", R"({"f":{"a":{"f":{"b":4}}}})",
       "Property key 'a' already has a value, choosing one."},
      {"typed leaf under an untyped object",
       {real("q", 1.5), text("a.n.k.z", "s"), integer("a.n.k", 2)},
       R"({"q":1.5,"a":{"n":{"k":{"z":"s"}}}})", R"({"f":{"q":6}})",
       "Property key 'k' already has a value, choosing one."},
  };
  for (const Case& c : cases) {
    const auto converted = convert(c.properties);
    EXPECT_EQ(converted.data, c.data) << c.what;
    EXPECT_EQ(converted.metadata, c.metadata) << c.what;
    EXPECT_EQ(converted.warnings, std::vector<std::string>{c.warning}) << c.what;
  }
}

TEST(TLEventLogCommonSchema, BaseTypeAndBaseDataComeTogetherOrNotAtAll) {
  struct Case {
    const char* what;
    Properties properties;
    const char* data;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"both", {text("baseData.x", "v"), text("other", "o"), text("baseType", "T")},
       R"({"baseType":"T","baseData":{"x":"v"},"other":"o"})", {}},
      {"type alone", {text("baseType", "T"), text("other", "o")}, R"({"other":"o"})",
       {"baseType was set but baseData is missing."}},
      {"type not a string", {integer("baseType", 1), text("baseData.x", "v"), text("other", "o")}, R"({"other":"o"})",
       {"baseData was set but baseType is missing or invalid."}},
      {"data alone", {text("baseData.x", "v"), text("baseData.y", "w")}, "none",
       {"baseData was set but baseType is missing or invalid."}},
      {"data not an object", {text("baseType", "T"), text("baseData.x", "v"), text("baseData", "flat")},
       R"({"baseType":"T","baseData":{"x":"v"}})", {"baseData must be an object."}},
      {"type an object", {text("baseType.x", "v"), text("other", "o")}, R"({"other":"o"})",
       {"baseType must not be an object."}},
  };
  for (const Case& c : cases) {
    const auto converted = convert(c.properties);
    EXPECT_EQ(converted.data, c.data) << c.what;
    EXPECT_EQ(converted.warnings, c.warnings) << c.what;
  }
}

TEST(TLEventLogCommonSchema, StringsAndBooleansAddNoMetadataAndNoPropertiesAddNothing) {
  EXPECT_EQ(convert({text("s", "x"), flag("b", false)}).metadata, "none");
  const auto empty = convert({});
  EXPECT_EQ(empty.data, "none");
  EXPECT_EQ(empty.metadata, "none");
}

TEST(TLEventLogCommonSchema, AnEventBecomesOneNamedTaggedLogPerTokenAndKeepsItsOwnProperties) {
  class Tag : public foundation::Object {};
  const auto tag = std::make_shared<Tag>();
  TLEventLog event;
  event.setName("applyChanges");
  event.setTimestamp(foundation::Date::fromTimeIntervalSince1970(1548942307.123));
  event.setTag(foundation::Value(std::static_pointer_cast<foundation::Object>(tag)));
  auto properties = std::make_shared<TLEventProperties>();
  properties->setString("T", "baseType").setInt64(3, "count.hosts").setString("lonely", "baseData");
  event.setTypedProperties(properties);
  event.addTransmissionTargetToken("first-1");
  event.addTransmissionTargetToken("second-2");

  const auto logs = event.toCommonSchemaLogsWithFlags(TLFlagsCritical);
  ASSERT_EQ(logs.size(), 2u);
  for (const auto& log : logs) {
    EXPECT_EQ(log->name(), "applyChanges");
    EXPECT_EQ(log->tag().objectValue(), tag);
    EXPECT_EQ(log->flags(), static_cast<std::int64_t>(TLFlagsCritical));
    EXPECT_EQ(*TLUtility::jsonStringFromObject(*log->data()->serializeToDictionary(), false), R"({"count":{"hosts":3}})");
    EXPECT_EQ(*TLUtility::jsonStringFromObject(*log->ext()->metadataExt->serializeToDictionary(), false),
              R"({"f":{"count":{"f":{"hosts":4}}}})");
  }
  EXPECT_EQ(logs[0]->iKey(), "o:first");
  EXPECT_EQ(logs[1]->iKey(), "o:second");
  // The reserved names are settled on a copy: the event still holds what was tracked.
  EXPECT_EQ(properties->count(), 3u);

  TLEventLog plain;
  plain.setName("plain");
  plain.setTimestamp(foundation::Date::now());
  plain.addTransmissionTargetToken("first-1");
  const auto log = plain.toCommonSchemaLogForTargetToken("first-1", TLFlagsNormal);
  ASSERT_TRUE(log);
  EXPECT_FALSE(log->data());
  EXPECT_FALSE(log->ext()->metadataExt);
}

}  // namespace
