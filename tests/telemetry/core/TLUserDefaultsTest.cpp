#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/UserDefaults.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

// A store over a suite of its own with a clock the test moves by hand.
class TLUserDefaultsTest : public ::testing::Test {
 protected:
  void advance(double seconds) { now = now.addingTimeInterval(seconds); }
  double stamp(const std::string& key) const { return store.objectForKey(key)["_ts"].doubleValue(); }

  Date now = Date::fromTimeIntervalSinceReferenceDate(600000000.5);
  foundation::UserDefaults defaults{"org.example.tlsettings"};
  TLUserDefaults store{defaults, [this] { return now; }};
};

TEST_F(TLUserDefaultsTest, PlainAccessUsesKeysUnchanged) {
  store.setObject("value", "TLInstallId");
  EXPECT_EQ(defaults.objectForKey("TLInstallId"), Value("value"));
  EXPECT_EQ(store.objectForKey("TLInstallId"), Value("value"));
  store.removeObjectForKey("TLInstallId");
  EXPECT_TRUE(store.objectForKey("TLInstallId").isNull());
  EXPECT_TRUE(store.objectForKey("never set").isNull());
}

TEST_F(TLUserDefaultsTest, AValueThatIsNoPropertyListIsRefusedWithAnErrorAndChangesNothing) {
  store.setObject(Value(42), "key");
  test::TLLogRecorder recorder;
  store.setObject(Value(std::make_shared<foundation::Object>()), "key");
  EXPECT_EQ(store.objectForKey("key"), Value(42));
  EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 1u);
}

TEST_F(TLUserDefaultsTest, UpdateObjectStoresOnlyChangesWithoutExpiration) {
  EXPECT_TRUE(store.updateObject("a", "k"));
  EXPECT_EQ(store.objectForKey("k"), Value(Dictionary{{"v", "a"}, {"_ts", 600000000.5}}));

  advance(1000);
  EXPECT_FALSE(store.updateObject("a", "k"));
  EXPECT_EQ(stamp("k"), 600000000.5);  // nothing was stored again

  EXPECT_TRUE(store.updateObject("b", "k"));
  EXPECT_EQ(store.objectForKey("k"), Value(Dictionary{{"v", "b"}, {"_ts", 600001000.5}}));
}

TEST_F(TLUserDefaultsTest, AnExpiredEntryCountsAsChangedEvenWhenEqual) {
  ASSERT_TRUE(store.updateObject(7, "k", 10));
  advance(9.5);
  EXPECT_FALSE(store.updateObject(7, "k", 10));
  advance(0.5);  // exactly 10 seconds after the last store
  EXPECT_TRUE(store.updateObject(7, "k", 10));
  EXPECT_EQ(stamp("k"), 600000010.5);
  advance(5);
  EXPECT_FALSE(store.updateObject(7, "k", 10));
  // A clock set back counts by distance too.
  now = Date::fromTimeIntervalSinceReferenceDate(600000000.5 - 20);
  EXPECT_TRUE(store.updateObject(7, "k", 10));
}

TEST_F(TLUserDefaultsTest, UpdateDictionaryAnswersAndMergesOnlyTheChangedEntries) {
  Dictionary first{{"a", 1}, {"b", "two"}};
  EXPECT_EQ(store.updateDictionary(first, "d"), first);

  advance(3);
  const Dictionary changes = store.updateDictionary(Dictionary{{"a", 1}, {"b", "2"}, {"c", true}}, "d");
  EXPECT_EQ(changes, (Dictionary{{"b", "2"}, {"c", true}}));
  // Entries not named again are kept; "_ts" moves to the time of the change.
  EXPECT_EQ(store.objectForKey("d"), Value(Dictionary{{"a", 1}, {"b", "2"}, {"_ts", 600000003.5}, {"c", true}}));

  EXPECT_TRUE(store.updateDictionary(Dictionary{{"a", 1}}, "d").empty());
  EXPECT_TRUE(store.updateDictionary(Dictionary{}, "fresh").empty());
  EXPECT_TRUE(store.objectForKey("fresh").isNull());
}

TEST_F(TLUserDefaultsTest, AStoredValueThatIsNoDictionaryIsReplaced) {
  store.setObject("text", "d");
  EXPECT_EQ(store.updateDictionary(Dictionary{{"a", 1}}, "d"), (Dictionary{{"a", 1}}));
  EXPECT_EQ(store.objectForKey("d"), Value(Dictionary{{"a", 1}, {"_ts", 600000000.5}}));
}

TEST_F(TLUserDefaultsTest, ADictionaryWithoutStampNeverExpires) {
  store.setObject(Dictionary{{"v", 7}}, "k");
  advance(1e6);
  EXPECT_FALSE(store.updateObject(7, "k", 10));
}

TEST_F(TLUserDefaultsTest, UpdatesAreLoggedAtVerboseAndDebug) {
  test::TLLogRecorder recorder;
  store.updateObject("a", "k");
  store.updateObject("a", "k");
  const auto verbose = recorder.messages(TLLogLevelVerbose);
  ASSERT_EQ(verbose.size(), 2u);
  EXPECT_EQ(verbose[0], "Settings:store[k]=(null)");
  EXPECT_EQ(verbose[1].rfind("Settings:store[k]={", 0), 0u) << verbose[1];
  const auto debug = recorder.messages(TLLogLevelDebug);
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_EQ(debug[0].rfind("Settings:update[k]={", 0), 0u) << debug[0];
}

TEST(TLUserDefaultsSharedTest, TheSharedStoreWorksOnTheStandardDefaults) {
  TLUserDefaults::shared().setObject(true, "TLTelemetryIsEnabled");
  EXPECT_EQ(foundation::UserDefaults::standardUserDefaults().objectForKey("TLTelemetryIsEnabled"), Value(true));
  EXPECT_EQ(&TLUserDefaults::shared(), &TLUserDefaults::shared());
  // It follows the standard defaults when they are rebuilt.
  foundation::UserDefaults::resetStandardUserDefaultsForTesting();
  EXPECT_TRUE(TLUserDefaults::shared().updateObject(1, "TLChannelStartTimer:Analytics"));
  EXPECT_TRUE(foundation::UserDefaults::standardUserDefaults().objectForKey("TLChannelStartTimer:Analytics").isDictionary());
}

}  // namespace
