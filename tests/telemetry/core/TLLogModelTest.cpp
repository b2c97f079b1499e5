#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/core/Internals/Model/TLAbstractLog.h"
#include "telemetry/core/Internals/Model/TLCustomPropertiesLog.h"
#include "telemetry/core/Internals/Model/TLLogContainer.h"
#include "telemetry/core/Internals/Model/TLLogWithProperties.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Array;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

const Date kTime = Date::fromTimeIntervalSince1970(1548942307.123);  // 2019-01-31T13:45:07.123Z

// A log with type, timestamp and a valid device, and nothing else.
template <class T = TLAbstractLog>
std::shared_ptr<T> minimalLog() {
  auto log = std::make_shared<T>();
  if (!log->type()) log->setType("event");
  log->setTimestamp(kTime);
  log->setDevice(test::minimalDevice());
  return log;
}

// The keys of a JSON object, in the text's order.
std::vector<std::string> keysOf(const Value& object) { return object.dictionaryValue().keys(); }

TEST(TLLogModelTest, ALogWritesOnlyItsPresentFields) {
  auto log = minimalLog();
  const Value json = test::parseJson(*log->serializeLogWithPrettyPrinting(false));
  EXPECT_EQ(keysOf(json), (std::vector<std::string>{"type", "timestamp", "device"}));
  EXPECT_EQ(json["timestamp"], Value("2019-01-31T13:45:07.123Z"));
  EXPECT_EQ(json["device"], Value(*test::minimalDevice()->serializeToDictionary()));

  log->setSid("S1");
  log->setDistributionGroupId("G1");
  log->setUserId("U1");
  log->setTag(Value("made by a test"));  // never written
  log->addTransmissionTargetToken("token");
  EXPECT_EQ(keysOf(test::parseJson(*log->serializeLogWithPrettyPrinting(true))),
            (std::vector<std::string>{"type", "timestamp", "sid", "distributionGroupId", "userId", "device"}));
}

TEST(TLLogModelTest, SlashesInTheJsonTextAreNotEscaped) {
  auto log = minimalLog();
  log->setType("a/b");
  const std::string json = *log->serializeLogWithPrettyPrinting(false);
  EXPECT_NE(json.find("\"a/b\""), std::string::npos) << json;
  EXPECT_EQ(json.find("\\/"), std::string::npos) << json;
}

TEST(TLLogModelTest, ValidityNeedsTypeTimestampAndAValidDevice) {
  const struct {
    const char* name;
    std::function<void(TLAbstractLog&)> change;
    bool valid;
  } cases[] = {
      {"complete", [](TLAbstractLog&) {}, true},
      {"no type", [](TLAbstractLog& log) { log.setType(std::nullopt); }, false},
      {"no timestamp", [](TLAbstractLog& log) { log.setTimestamp(std::nullopt); }, false},
      {"no device", [](TLAbstractLog& log) { log.setDevice(nullptr); }, false},
      {"invalid device", [](TLAbstractLog& log) { log.device()->appBuild.reset(); }, false},
      {"no session or user", [](TLAbstractLog& log) { log.setSid(std::nullopt); }, true},
  };
  for (const auto& c : cases) {
    auto log = minimalLog();
    c.change(*log);
    EXPECT_EQ(log->isValid(), c.valid) << c.name;
  }
}

TEST(TLLogModelTest, EqualityComparesEveryFieldButTheTargetTokens) {
  const struct {
    const char* name;
    std::function<void(TLAbstractLog&)> change;
  } differences[] = {
      {"tag", [](TLAbstractLog& log) { log.setTag(Value("other")); }},
      {"type", [](TLAbstractLog& log) { log.setType("other"); }},
      {"timestamp", [](TLAbstractLog& log) { log.setTimestamp(kTime.addingTimeInterval(0.001)); }},
      {"absent timestamp", [](TLAbstractLog& log) { log.setTimestamp(std::nullopt); }},
      {"sid", [](TLAbstractLog& log) { log.setSid("S"); }},
      {"distribution group", [](TLAbstractLog& log) { log.setDistributionGroupId("G"); }},
      {"user id", [](TLAbstractLog& log) { log.setUserId("U"); }},
      {"device field", [](TLAbstractLog& log) { log.device()->model = "other"; }},
      {"absent device", [](TLAbstractLog& log) { log.setDevice(nullptr); }},
  };
  for (const auto& d : differences) {
    auto changed = minimalLog();
    d.change(*changed);
    EXPECT_FALSE(minimalLog()->isEqual(*changed)) << d.name;
    EXPECT_FALSE(changed->isEqual(*minimalLog())) << d.name;
  }

  auto withTokens = minimalLog();
  withTokens->addTransmissionTargetToken("t1");
  EXPECT_TRUE(minimalLog()->isEqual(*withTokens));
  EXPECT_FALSE(minimalLog()->isEqual(*test::minimalDevice()));

  // A subclass asks for its own class; the base only for a log.
  auto start = minimalLog<TLStartServiceLog>();
  auto base = minimalLog();
  base->setType("startService");
  EXPECT_TRUE(base->isEqual(*start));
  EXPECT_FALSE(start->isEqual(*base));
}

TEST(TLLogModelTest, SubclassesAddTheirOwnFieldsToJsonAndEquality) {
  auto withProperties = minimalLog<TLLogWithProperties>();
  withProperties->setProperties(Dictionary{});
  EXPECT_FALSE(test::parseJson(*withProperties->serializeLogWithPrettyPrinting(false)).dictionaryValue().contains(
      "properties"));
  withProperties->setProperties(Dictionary{{"k", "v"}});
  EXPECT_EQ(test::parseJson(*withProperties->serializeLogWithPrettyPrinting(false))["properties"],
            Value(Dictionary{{"k", "v"}}));
  auto otherProperties = minimalLog<TLLogWithProperties>();
  otherProperties->setProperties(Dictionary{{"k", "w"}});
  EXPECT_FALSE(withProperties->isEqual(*otherProperties));

  auto start = minimalLog<TLStartServiceLog>();
  EXPECT_EQ(*start->type(), "startService");
  EXPECT_FALSE(test::parseJson(*start->serializeLogWithPrettyPrinting(false)).dictionaryValue().contains("services"));
  start->setServices(std::vector<std::string>{});
  EXPECT_EQ(test::parseJson(*start->serializeLogWithPrettyPrinting(false))["services"], Value(Array{}));
  start->setServices(std::vector<std::string>{"Crashes", "Analytics"});
  auto reordered = minimalLog<TLStartServiceLog>();
  reordered->setServices(std::vector<std::string>{"Analytics", "Crashes"});
  EXPECT_FALSE(start->isEqual(*reordered));
}

TEST(TLLogModelTest, EveryLogKindSurvivesArchivingButTagAndTokens) {
  auto plain = minimalLog();
  plain->setSid("S1");
  plain->setDistributionGroupId("G1");
  plain->setUserId("U1");
  plain->device()->osApiLevel = 33;
  plain->device()->wrapperSdkName = "wrapper";

  auto withProperties = minimalLog<TLLogWithProperties>();
  withProperties->setProperties(Dictionary{{"k", "v"}, {"\xC3\xA9", "\xF0\x9F\x98\x80"}});

  auto start = minimalLog<TLStartServiceLog>();
  start->setServices(std::vector<std::string>{"Crashes", "Analytics"});
  auto startWithoutServices = minimalLog<TLStartServiceLog>();

  auto custom = minimalLog<TLCustomPropertiesLog>();
  custom->setProperties(Dictionary{{"s", "text"}, {"n", 1.5}, {"b", true}, {"d", kTime}, {"cleared", Value()}});

  const std::shared_ptr<TLAbstractLog> logs[] = {plain, withProperties, start, startWithoutServices, custom};
  for (const auto& log : logs) {
    const auto copy = test::archiveRoundTrip(log, "TLAbstractLog");
    ASSERT_TRUE(copy) << *log->type();
    const auto& copyObject = *copy;
    const auto& logObject = *log;
    EXPECT_EQ(typeid(copyObject), typeid(logObject)) << *log->type();
    EXPECT_TRUE(copy->isEqual(*log)) << *log->serializeLogWithPrettyPrinting(true);
    EXPECT_EQ(copy->serializeLogWithPrettyPrinting(false), log->serializeLogWithPrettyPrinting(false));
  }

  plain->setTag(Value("tag"));
  plain->addTransmissionTargetToken("token");
  const auto copy = test::archiveRoundTrip(plain, "TLAbstractLog");
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->tag().isNull());
  EXPECT_FALSE(copy->transmissionTargetTokens());
}

TEST(TLLogModelTest, TargetTokensStartAbsentAndCollectAcrossThreads) {
  auto log = minimalLog();
  EXPECT_FALSE(log->transmissionTargetTokens());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 200; ++i) log->addTransmissionTargetToken(std::to_string(t * 1000 + i));
    });
  }
  for (auto& thread : threads) thread.join();
  log->addTransmissionTargetToken("0");  // already there
  EXPECT_EQ(log->transmissionTargetTokens()->size(), 800u);
}

TEST(TLLogModelTest, AContainerWritesItsLogsUnderLogs) {
  auto start = minimalLog<TLStartServiceLog>();
  start->setServices(std::vector<std::string>{"Crashes", "Analytics"});
  auto event = minimalLog();
  event->setSid("S1");
  const TLLogContainer container("batch", {start, event});

  const Value json = test::parseJson(*container.serializeLog());
  EXPECT_EQ(keysOf(json), std::vector<std::string>{"logs"});
  ASSERT_EQ(json["logs"].arrayValue().size(), 2u);
  EXPECT_EQ(keysOf(json["logs"][0]), (std::vector<std::string>{"type", "timestamp", "device", "services"}));
  EXPECT_EQ(json["logs"][0]["services"], Value(Array{"Crashes", "Analytics"}));
  EXPECT_EQ(json["logs"][1]["sid"], Value("S1"));
  EXPECT_EQ(test::parseJson(*container.serializeLogWithPrettyPrinting(true)), json);
}

TEST(TLLogModelTest, AContainerIsValidOnlyWithLogsThatAreAllValid) {
  auto invalid = minimalLog();
  invalid->setDevice(nullptr);
  EXPECT_FALSE(TLLogContainer().isValid());
  EXPECT_FALSE(TLLogContainer("b", {}).isValid());
  EXPECT_TRUE(TLLogContainer("b", {minimalLog(), minimalLog()}).isValid());
  EXPECT_FALSE(TLLogContainer("b", {minimalLog(), invalid}).isValid());
}

TEST(TLLogModelTest, AContainerThatCannotBeWrittenAsJsonAnswersNothingWithAnError) {
  auto log = minimalLog<TLLogWithProperties>();
  log->setProperties(Dictionary{{"k", std::numeric_limits<double>::quiet_NaN()}});
  EXPECT_FALSE(log->serializeLogWithPrettyPrinting(false));

  test::TLLogRecorder recorder;
  EXPECT_FALSE(TLLogContainer("b", {minimalLog(), log}).serializeLog());
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Couldn't serialize log container to json: ", 0), 0u) << errors[0];
}

}  // namespace
