#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLPageLog.h"
#include "telemetry/analytics/Model/TLStartSessionLog.h"
#include "telemetry/analytics/TLAnalyticsArchivableClasses.h"
#include "telemetry/analytics/TLEventProperties.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Array;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

const Date kTime = Date::fromTimeIntervalSince1970(1548942307.123);  // 2019-01-31T13:45:07.123Z

template <class T>
std::shared_ptr<T> completeLog(const char* name = "applyChanges") {
  auto log = std::make_shared<T>();
  log->setTimestamp(kTime);
  log->setDevice(test::minimalDevice());
  if constexpr (std::is_base_of_v<TLLogWithNameAndProperties, T>) log->setName(name);
  if constexpr (std::is_same_v<T, TLEventLog>) log->setEventId("E1");
  return log;
}

Value jsonOf(const TLAbstractLog& log) { return test::parseJson(*log.serializeLogWithPrettyPrinting(false)); }

// A bag with one property of each kind.
std::shared_ptr<TLEventProperties> everyKind() {
  auto bag = std::make_shared<TLEventProperties>();
  bag->setString("s", "text").setDouble(1.5, "d").setInt64(-7, "l").setBool(true, "b").setDate(kTime, "t");
  return bag;
}

TEST(TLAnalyticsLogsTest, EachLogWritesItsTypeAndOnlyItsPresentKeys) {
  auto event = completeLog<TLEventLog>();
  event->setSid("S1");
  event->setProperties(Dictionary{});  // empty: left out
  Value json = jsonOf(*event);
  EXPECT_EQ(json.dictionaryValue().keys(),
            (std::vector<std::string>{"type", "timestamp", "sid", "device", "name", "id"}));
  EXPECT_EQ(json["type"], Value("event"));
  EXPECT_EQ(json["name"], Value("applyChanges"));
  EXPECT_EQ(json["id"], Value("E1"));

  event->setProperties(Dictionary{{"k", "v"}});
  event->setTypedProperties(everyKind());
  json = jsonOf(*event);
  EXPECT_EQ(json["properties"], Value(Dictionary{{"k", "v"}}));
  EXPECT_EQ(json["typedProperties"],
            Value(Array{Dictionary{{"type", "string"}, {"name", "text"}, {"value", "s"}},
                        Dictionary{{"type", "double"}, {"name", "d"}, {"value", 1.5}},
                        Dictionary{{"type", "long"}, {"name", "l"}, {"value", -7}},
                        Dictionary{{"type", "boolean"}, {"name", "b"}, {"value", true}},
                        Dictionary{{"type", "dateTime"}, {"name", "t"}, {"value", "2019-01-31T13:45:07.123Z"}}}))
      << json["typedProperties"].description();

  auto page = completeLog<TLPageLog>("Settings");
  page->setProperties(Dictionary{});
  EXPECT_EQ(jsonOf(*page).dictionaryValue().keys(), (std::vector<std::string>{"type", "timestamp", "device", "name"}));
  EXPECT_EQ(jsonOf(*page)["type"], Value("page"));

  auto session = completeLog<TLStartSessionLog>();
  session->setSid("S2");
  EXPECT_EQ(jsonOf(*session), Value(Dictionary{{"type", "startSession"},
                                               {"timestamp", "2019-01-31T13:45:07.123Z"},
                                               {"sid", "S2"},
                                               {"device", *test::minimalDevice()->serializeToDictionary()}}));
}

TEST(TLAnalyticsLogsTest, ValidityNeedsANameAndForEventsAnId) {
  auto noId = completeLog<TLEventLog>();
  noId->setEventId(std::nullopt);
  auto noName = completeLog<TLEventLog>();
  noName->setName(std::nullopt);
  auto emptyName = completeLog<TLPageLog>("");  // kept by the model; the analytics filter drops it
  auto noTime = completeLog<TLPageLog>();
  noTime->setTimestamp(std::nullopt);
  const struct {
    const char* what;
    std::shared_ptr<TLAbstractLog> log;
    bool valid;
  } cases[] = {
      {"complete event", completeLog<TLEventLog>(), true},
      {"event without id", noId, false},
      {"event without name", noName, false},
      {"complete page", completeLog<TLPageLog>(), true},
      {"page with empty name", emptyName, true},
      {"page without timestamp", noTime, false},
      {"start session", completeLog<TLStartSessionLog>(), true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.log->isValid(), c.valid) << c.what;
}

TEST(TLAnalyticsLogsTest, EqualityIgnoresTypedPropertiesButNotClassNameOrId) {
  auto a = completeLog<TLEventLog>();
  auto b = completeLog<TLEventLog>();
  b->setTypedProperties(everyKind());
  EXPECT_TRUE(a->isEqual(*b));

  auto otherId = completeLog<TLEventLog>();
  otherId->setEventId("E2");
  auto otherName = completeLog<TLEventLog>("other");
  auto otherProperties = completeLog<TLEventLog>();
  otherProperties->setProperties(Dictionary{{"k", "v"}});
  auto page = completeLog<TLPageLog>();
  page->setType("event");  // same fields as an event without id: still another class
  auto noId = completeLog<TLEventLog>();
  noId->setEventId(std::nullopt);
  for (const auto& other : {otherId, otherName, otherProperties}) EXPECT_FALSE(a->isEqual(*other));
  EXPECT_FALSE(page->isEqual(*noId));
  EXPECT_FALSE(noId->isEqual(*page));
  EXPECT_TRUE(completeLog<TLPageLog>()->isEqual(*completeLog<TLPageLog>()));

  auto session = completeLog<TLStartSessionLog>();
  auto service = completeLog<TLStartServiceLog>();
  service->setType("startSession");
  EXPECT_FALSE(session->isEqual(*service));
  EXPECT_TRUE(session->isEqual(*completeLog<TLStartSessionLog>()));
}

TEST(TLAnalyticsLogsTest, LogsComeBackFromTheirArchivesWithEveryField) {
  TLRegisterAnalyticsArchivableClasses();
  auto event = completeLog<TLEventLog>();
  event->setSid("S1");
  event->setUserId("c:u");
  event->setProperties(Dictionary{{"k", "v"}});
  event->setTypedProperties(everyKind());
  auto back = test::archiveRoundTrip(event, "TLEventLog");
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*event));
  EXPECT_EQ(jsonOf(*back), jsonOf(*event));  // typed properties included, in order
  ASSERT_TRUE(back->typedProperties());
  EXPECT_TRUE(back->typedProperties()->isEqual(*event->typedProperties()));
  EXPECT_FALSE(back->metadataTypeIdMapping());  // not archived
  EXPECT_EQ(event->metadataTypeIdMapping(), (std::map<std::string, int>{{"long", 4}, {"double", 6}, {"dateTime", 9}}));

  auto page = completeLog<TLPageLog>();
  page->setProperties(Dictionary{{"p", "q"}});
  auto pageBack = test::archiveRoundTrip(page, "TLAbstractLog");  // as the log store asks for any log
  ASSERT_TRUE(pageBack);
  EXPECT_TRUE(pageBack->isEqual(*page));

  auto session = completeLog<TLStartSessionLog>();
  session->setSid("S3");
  auto sessionBack = test::archiveRoundTrip(session, "TLAbstractLog");
  ASSERT_TRUE(sessionBack);
  EXPECT_TRUE(sessionBack->isEqual(*session));
  EXPECT_TRUE(std::dynamic_pointer_cast<TLStartSessionLog>(sessionBack));
}

TEST(TLAnalyticsLogsTest, AStoredBagHoldingSomethingElseFailsTheUnarchiving) {
  TLRegisterAnalyticsArchivableClasses();
  // Writes what a bag writes, but with a start-session log where a typed property belongs; its
  // record is read back by the bag's own initialiser.
  class Forged : public foundation::Coding {
   public:
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
      auto intruder = std::static_pointer_cast<foundation::Object>(completeLog<TLStartSessionLog>());
      coder.encodeObject(Value(Dictionary{{"x", Value(intruder)}}));
    }
  };
  ASSERT_TRUE(foundation::CodingRegistry::registerClass(
      typeid(Forged), {"TLForgedBag", "", true, [](foundation::KeyedUnarchiver& coder) {
                         return std::static_pointer_cast<foundation::Coding>(std::make_shared<TLEventProperties>(coder));
                       }}));
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Forged>());
  ASSERT_TRUE(data);
  foundation::Error error;
  EXPECT_FALSE(foundation::KeyedUnarchiver::unarchiveObjectWithData(*data, &error));
  EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
  foundation::CodingRegistry::unregisterClass("TLForgedBag");
}

TEST(TLAnalyticsLogsTest, TheBagRefusesMissingKeysAndValuesAndNonFiniteDoubles) {
  test::TLLogRecorder recorder;
  TLEventProperties bag;
  bag.setString("kept", "a")
      .setString("v", std::nullopt)
      .setString(std::nullopt, "k")
      .setDate(std::nullopt, "date")
      .setInt64(1, std::nullopt)
      .setDouble(std::nan(""), "nan")
      .setDouble(std::numeric_limits<double>::infinity(), "inf")
      .setDouble(-std::numeric_limits<double>::infinity(), "-inf");
  EXPECT_EQ(bag.count(), 1u);
  EXPECT_EQ(recorder.messages(TLLogLevelError),
            (std::vector<std::string>{"Key cannot be null. Property will not be added.",
                                      "Value cannot be null. Property will not be added.",
                                      "Value cannot be null. Property will not be added.",
                                      "Key cannot be null. Property will not be added.",
                                      "Double value for property 'nan' must be finite (cannot be INFINITY or NAN).",
                                      "Double value for property 'inf' must be finite (cannot be INFINITY or NAN).",
                                      "Double value for property '-inf' must be finite (cannot be INFINITY or NAN)."}));
  for (const auto& entry : recorder.entries()) EXPECT_EQ(entry.tag, "TelemetryAnalytics");
}

TEST(TLAnalyticsLogsTest, TheBagKeepsOnePropertyPerNameInFirstSetOrder) {
  TLEventProperties bag;
  EXPECT_TRUE(bag.isEmpty());
  EXPECT_EQ(bag.serializeToArray(), Array{});
  bag.setString("a", "first").setBool(false, "b").setInt64(42, "first");  // string replaced by a long
  EXPECT_EQ(bag.serializeToArray(), (Array{Dictionary{{"type", "long"}, {"name", "first"}, {"value", 42}},
                                           Dictionary{{"type", "boolean"}, {"name", "b"}, {"value", false}}}));

  TLEventProperties other(Dictionary{{"b", "now text"}, {"skipped", 5}, {"c", "x"}});
  EXPECT_EQ(other.count(), 2u);  // only string entries become properties
  bag.mergeEventProperties(other);
  bag.mergeEventProperties(bag);  // merging into itself changes nothing
  EXPECT_EQ(bag.serializeToArray(), (Array{Dictionary{{"type", "long"}, {"name", "first"}, {"value", 42}},
                                           Dictionary{{"type", "string"}, {"name", "b"}, {"value", "now text"}},
                                           Dictionary{{"type", "string"}, {"name", "c"}, {"value", "x"}}}));

  TLEventProperties same(Dictionary{{"b", "now text"}, {"c", "x"}});
  same.setInt64(42, "first");
  EXPECT_TRUE(bag.isEqual(same));  // equal whatever the order
  same.setInt64(43, "first");
  EXPECT_FALSE(bag.isEqual(same));
}

TEST(TLAnalyticsLogsTest, ABagCanBeFilledWhileAnotherThreadSerialisesIt) {
  auto bag = std::make_shared<TLEventProperties>();
  std::thread writer([bag] {
    for (int i = 0; i < 2000; ++i) bag->setInt64(i, "key" + std::to_string(i % 50));
  });
  std::size_t largest = 0;
  for (int i = 0; i < 200; ++i) largest = std::max(largest, bag->serializeToArray().size());
  writer.join();
  EXPECT_EQ(bag->count(), 50u);
  EXPECT_LE(largest, 50u);
}

}  // namespace
