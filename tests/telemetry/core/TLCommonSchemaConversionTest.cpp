#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Date;
using foundation::Dictionary;

const Date kTime = Date::fromTimeIntervalSince1970(1548942307.123);  // 2019-01-31T13:45:07.123Z

// The main bundle is replaced so that the application's locale is known.
class TLCommonSchemaConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
        "/nonexistent", "/nonexistent/Resources",
        Dictionary{{foundation::kCFBundleDevelopmentRegionKey, "fr"}}));
  }
  void TearDown() override { foundation::Bundle::setMainBundleForTesting(nullptr); }

  static std::shared_ptr<TLDevice> fullDevice() {
    auto device = test::minimalDevice();
    device->model = "Laptop 13";
    device->oemName = "Framework";
    device->osBuild = "6.1.0";
    device->timeZoneOffset = -210;
    device->carrierName = "Carrier";
    device->appNamespace = "org.quillmere";
    return device;
  }

  static std::string extJsonOf(const TLCommonSchemaLog& log) {
    return *TLUtility::jsonStringFromObject(*log.ext()->serializeToDictionary(), false);
  }
};

TEST_F(TLCommonSchemaConversionTest, EachTokenGivesItsOwnLogFilledFromTheLogAndItsDevice) {
  TLAbstractLog log;
  log.setType("event");
  log.setTimestamp(kTime);
  log.setUserId("alice");
  log.setDevice(fullDevice());
  log.setTag(foundation::Value("target"));
  log.addTransmissionTargetToken("abc-123");
  log.addTransmissionTargetToken("def-456");

  const auto converted = log.toCommonSchemaLogsWithFlags(TLFlagsCritical);
  ASSERT_EQ(converted.size(), 2u);
  const char* iKeys[] = {"o:abc", "o:def"};
  const char* tokens[] = {"abc-123", "def-456"};
  for (std::size_t i = 0; i < 2; ++i) {
    const TLCommonSchemaLog& made = *converted[i];
    EXPECT_EQ(made.transmissionTargetTokens(), (std::set<std::string>{tokens[i]}));
    EXPECT_EQ(made.iKey(), iKeys[i]);
    EXPECT_EQ(made.ver(), "3.0");
    EXPECT_EQ(made.timestamp(), kTime);
    EXPECT_EQ(made.flags(), 2);
    // The event name, data, metadata, tag and stamping are the caller's.
    EXPECT_FALSE(made.name());
    EXPECT_FALSE(made.data());
    EXPECT_TRUE(made.tag().isNull());
    EXPECT_EQ(extJsonOf(made),
              R"J({"protocol":{"devMake":"Framework","devModel":"Laptop 13"},)J"
              R"J("user":{"localId":"c:alice","locale":"en-US"},)J"
              R"J("os":{"name":"Debian GNU/Linux","ver":"Version 12.0.0 (Build 6.1.0)"},)J"
              R"J("app":{"id":"I:org.quillmere","ver":"2.0.0","locale":"fr"},)J"
              R"J("net":{"provider":"Carrier"},"sdk":{"libVer":"telemetry.macos-2.4.0"},"loc":{"tz":"-03:30"}})J");
    ASSERT_TRUE(made.ext()->deviceExt);  // made, but empty until a configurator fills it
    EXPECT_FALSE(made.ext()->metadataExt);
    EXPECT_FALSE(made.ext()->sdkExt->epoch);
  }
}

TEST_F(TLCommonSchemaConversionTest, TokensWithoutATargetKeyAndLogsWithoutTokensGiveNoLogs) {
  TLAbstractLog log;
  log.setTimestamp(kTime);
  log.setDevice(fullDevice());
  EXPECT_TRUE(log.toCommonSchemaLogsWithFlags(TLFlagsNormal).empty());

  log.addTransmissionTargetToken("-no-key");
  log.addTransmissionTargetToken("");
  EXPECT_TRUE(log.toCommonSchemaLogsWithFlags(TLFlagsNormal).empty());
  EXPECT_FALSE(log.toCommonSchemaLogForTargetToken("-no-key", TLFlagsNormal));

  log.addTransmissionTargetToken("key");  // a token without "-" is all key
  const auto converted = log.toCommonSchemaLogsWithFlags(TLFlagsNormal);
  ASSERT_EQ(converted.size(), 1u);
  EXPECT_EQ(converted[0]->iKey(), "o:key");
}

TEST_F(TLCommonSchemaConversionTest, MissingFactsLeaveFieldsOutRatherThanInventingThem) {
  TLAbstractLog bare;  // no timestamp, user or device
  const auto made = bare.toCommonSchemaLogForTargetToken("abc-1", TLFlagsNone);
  ASSERT_TRUE(made);
  EXPECT_EQ(*made->serializeLogWithPrettyPrinting(false), R"J({"ver":"3.0","iKey":"o:abc","ext":{"app":{"locale":"fr"}}})J");
  EXPECT_FALSE(made->isValid());

  // A device without namespace, build, OEM name or offset: no "I:" alone, no "+00:00".
  TLAbstractLog sparse;
  auto device = test::minimalDevice();
  device->timeZoneOffset.reset();
  device->locale = "de_AT_x";
  sparse.setDevice(device);
  sparse.setUserId("c:bob");
  const auto sparseMade = sparse.toCommonSchemaLogForTargetToken("abc-1", TLFlagsNone);
  EXPECT_EQ(extJsonOf(*sparseMade),
            R"J({"user":{"localId":"c:bob","locale":"de-AT-x"},"os":{"name":"Debian GNU/Linux","ver":"Version 12.0.0"},)J"
            R"J("app":{"ver":"2.0.0","locale":"fr"},"sdk":{"libVer":"telemetry.macos-2.4.0"}})J");
}

TEST(TLCommonSchemaTextTest, OsVersionAndSdkTextsNeedTheirParts) {
  using Text = std::optional<std::string>;
  const struct {
    Text first, second, os, sdk;
  } cases[] = {
      {"10.15.7", "19H2", "Version 10.15.7 (Build 19H2)", "10.15.7-19H2"},
      {"10.15.7", "", "Version 10.15.7", std::nullopt},
      {"10.15.7", std::nullopt, "Version 10.15.7", std::nullopt},
      {"", "19H2", std::nullopt, std::nullopt},
      {std::nullopt, "19H2", std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TLAbstractLog::combineOsVersion(c.first, c.second), c.os) << c.first.value_or("-");
    EXPECT_EQ(TLAbstractLog::combineSDKLibVer(c.first, c.second), c.sdk) << c.first.value_or("-");
  }
  EXPECT_EQ(TLAbstractLog::combineSDKLibVer("telemetry.macos", "2.4.0"), "telemetry.macos-2.4.0");
}

TEST(TLCommonSchemaTextTest, TimeZoneOffsetsAreSignedHoursAndMinutes) {
  const struct {
    std::int64_t minutes;
    const char* text;
  } cases[] = {
      {0, "+00:00"},    {120, "+02:00"},  {-330, "-05:30"}, {-30, "-00:30"},
      {345, "+05:45"},  {840, "+14:00"},  {-720, "-12:00"}, {6000, "+100:00"},
      {std::numeric_limits<std::int64_t>::min(), "-153722867280912930:08"},
  };
  for (const auto& c : cases) EXPECT_EQ(TLAbstractLog::convertTimeZoneOffsetToISO8601(c.minutes), c.text) << c.minutes;
}

// The whole way from the process's time zone through the device tracker into the location
// extension.
TEST_F(TLCommonSchemaConversionTest, TheLocationExtensionFollowsTheSystemTimeZone) {
  const struct {
    const char* tz;
    const char* text;
  } cases[] = {
      {"UTC", "+00:00"},
      {"Asia/Kathmandu", "+05:45"},
      {"Asia/Kolkata", "+05:30"},
      {"EST5", "-05:00"},
      {"<-0330>3:30", "-03:30"},
  };
  const char* saved = std::getenv("TZ");
  const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
  foundation::UserDefaults defaults{"org.example.tlconversion"};
  TLUserDefaults settings{defaults};
  for (const auto& c : cases) {
    setenv("TZ", c.tz, 1);
    tzset();
    defaults.removeObjectForKey(TLDeviceTracker::kPastDevicesKey);
    TLDeviceTracker tracker(settings);
    TLAbstractLog log;
    log.setDevice(tracker.device());
    const auto made = log.toCommonSchemaLogForTargetToken("abc-1", TLFlagsNormal);
    ASSERT_TRUE(made && made->ext()->locExt) << c.tz;
    EXPECT_EQ(made->ext()->locExt->tz, c.text) << c.tz;
  }
  if (previous) {
    setenv("TZ", previous->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
