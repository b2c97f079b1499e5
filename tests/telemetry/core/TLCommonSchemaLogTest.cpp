#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Array;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

const Date kTime = Date::fromTimeIntervalSince1970(1548942307.123);  // 2019-01-31T13:45:07.123Z
const foundation::UUID kInstallId = *foundation::UUID::fromString("0f8fad5b-d9cb-469f-a165-70867728950e");

// Every one of the nine extensions with every field set.
std::shared_ptr<TLCSExtensions> fullExtensions() {
  auto ext = std::make_shared<TLCSExtensions>();
  ext->metadataExt = std::make_shared<TLMetadataExtension>();
  ext->metadataExt->setMetadata(Dictionary{{"f", Dictionary{{"price", 6}}}});
  ext->protocolExt = std::make_shared<TLProtocolExtension>();
  ext->protocolExt->ticketKeys = std::vector<std::string>{"k1", "k2"};
  ext->protocolExt->devMake = "Framework";
  ext->protocolExt->devModel = "Laptop 13";
  ext->userExt = std::make_shared<TLUserExtension>();
  ext->userExt->localId = "c:alice";
  ext->userExt->locale = "en-US";
  ext->deviceExt = std::make_shared<TLDeviceExtension>();
  ext->deviceExt->localId = "d:42";
  ext->osExt = std::make_shared<TLOSExtension>();
  ext->osExt->name = "Debian GNU/Linux";
  ext->osExt->ver = "Version 12.0.0 (Build 6.1.0)";
  ext->appExt = std::make_shared<TLAppExtension>();
  ext->appExt->appId = "I:org.quillmere";
  ext->appExt->ver = "2.0.0";
  ext->appExt->name = "Quillmere";
  ext->appExt->locale = "en";
  ext->appExt->userId = "u-1";
  ext->netExt = std::make_shared<TLNetExtension>();
  ext->netExt->provider = "Carrier";
  ext->sdkExt = std::make_shared<TLSDKExtension>();
  ext->sdkExt->libVer = "telemetry.macos-2.4.0";
  ext->sdkExt->epoch = "E1";
  ext->sdkExt->seq = 5;
  ext->sdkExt->installId = kInstallId;
  ext->locExt = std::make_shared<TLLocExtension>();
  ext->locExt->tz = "+05:45";
  return ext;
}

// A log with every field set, its data part built with "baseType" last.
std::shared_ptr<TLCommonSchemaLog> fullLog() {
  auto log = std::make_shared<TLCommonSchemaLog>();
  log->setVer("3.0");
  log->setName("checkout.done");
  log->setTimestamp(kTime);
  log->setIKey("o:abc");
  log->setFlags(TLFlagsCritical);
  log->setPopSample(10);
  log->setCV("cv.1");
  log->setUserId("alice");
  log->setDevice(test::minimalDevice());
  log->addTransmissionTargetToken("abc-123");
  log->setExt(fullExtensions());
  auto data = std::make_shared<TLCSData>();
  data->setProperties(Dictionary{{"baseData", Dictionary{{"total", 9.5}}},
                                 {"price", 12.25},
                                 {"baseType", "Checkout"},
                                 {"paid", true},
                                 {"count", std::int64_t{9007199254740993}},
                                 {"path", "a/b"}});
  log->setData(data);
  return log;
}

TEST(TLCommonSchemaLogTest, ALogWithEveryExtensionSetWritesTheCollectorShape) {
  EXPECT_EQ(*fullLog()->serializeLogWithPrettyPrinting(false),
            R"J({"ver":"3.0","name":"checkout.done","time":"2019-01-31T13:45:07.123Z","iKey":"o:abc","flags":2,)J"
            R"J("ext":{"metadata":{"f":{"price":6}},)J"
            R"J("protocol":{"ticketKeys":["k1","k2"],"devMake":"Framework","devModel":"Laptop 13"},)J"
            R"J("user":{"localId":"c:alice","locale":"en-US"},"device":{"localId":"d:42"},)J"
            R"J("os":{"name":"Debian GNU/Linux","ver":"Version 12.0.0 (Build 6.1.0)"},)J"
            R"J("app":{"id":"I:org.quillmere","ver":"2.0.0","name":"Quillmere","locale":"en","userId":"u-1"},)J"
            R"J("net":{"provider":"Carrier"},)J"
            R"J("sdk":{"libVer":"telemetry.macos-2.4.0","epoch":"E1","seq":5,)J"
            R"J("installId":"0F8FAD5B-D9CB-469F-A165-70867728950E"},"loc":{"tz":"+05:45"}},)J"
            R"J("data":{"baseType":"Checkout","baseData":{"total":9.5},"price":12.25,"paid":true,)J"
            R"J("count":9007199254740993,"path":"a/b"}})J");
}

TEST(TLCommonSchemaLogTest, EmptyExtensionsStillGiveExtAndEmptyPartsLeaveTheirKeysOut) {
  auto log = std::make_shared<TLCommonSchemaLog>();
  log->setVer("3.0");
  log->setName("n");
  log->setTimestamp(kTime);
  log->setIKey("o:abc");
  log->setPopSample(0.5);  // never written
  log->setCV("cv.2");      // never written
  log->setData(std::make_shared<TLCSData>());
  const char* expected = R"J({"ver":"3.0","name":"n","time":"2019-01-31T13:45:07.123Z","iKey":"o:abc","ext":{}})J";

  // Every extension present but empty.
  auto empty = std::make_shared<TLCSExtensions>();
  empty->metadataExt = std::make_shared<TLMetadataExtension>();
  empty->protocolExt = std::make_shared<TLProtocolExtension>();
  empty->userExt = std::make_shared<TLUserExtension>();
  empty->deviceExt = std::make_shared<TLDeviceExtension>();
  empty->osExt = std::make_shared<TLOSExtension>();
  empty->appExt = std::make_shared<TLAppExtension>();
  empty->netExt = std::make_shared<TLNetExtension>();
  empty->sdkExt = std::make_shared<TLSDKExtension>();
  empty->locExt = std::make_shared<TLLocExtension>();
  log->setExt(empty);
  EXPECT_EQ(*log->serializeLogWithPrettyPrinting(false), expected);

  // Every extension absent.
  log->setExt(std::make_shared<TLCSExtensions>());
  EXPECT_EQ(*log->serializeLogWithPrettyPrinting(false), expected);
  EXPECT_TRUE(log->ext()->isValid());

  // No extensions object, no timestamp: neither "ext" nor "time", and never a placeholder text.
  log->setExt(nullptr);
  log->setTimestamp(std::nullopt);
  EXPECT_EQ(*log->serializeLogWithPrettyPrinting(false), R"J({"ver":"3.0","name":"n","iKey":"o:abc"})J");
}

TEST(TLCommonSchemaLogTest, ValidityNeedsTimestampVersionAndNameOnly) {
  const struct {
    const char* name;
    std::function<void(TLCommonSchemaLog&)> change;
    bool valid;
  } cases[] = {
      {"complete", [](TLCommonSchemaLog&) {}, true},
      {"no timestamp", [](TLCommonSchemaLog& log) { log.setTimestamp(std::nullopt); }, false},
      {"no ver", [](TLCommonSchemaLog& log) { log.setVer(std::nullopt); }, false},
      {"no name", [](TLCommonSchemaLog& log) { log.setName(std::nullopt); }, false},
      {"empty name", [](TLCommonSchemaLog& log) { log.setName(""); }, true},
      {"no device, type or ext", [](TLCommonSchemaLog& log) {
         log.setDevice(nullptr);
         log.setType(std::nullopt);
         log.setExt(nullptr);
       }, true},
  };
  for (const auto& c : cases) {
    auto log = fullLog();
    c.change(*log);
    EXPECT_EQ(log->isValid(), c.valid) << c.name;
  }
}

TEST(TLCommonSchemaLogTest, EqualityComparesEveryFieldButTheTargetTokens) {
  const struct {
    const char* name;
    std::function<void(TLCommonSchemaLog&)> change;
    bool equal;
  } cases[] = {
      {"nothing", [](TLCommonSchemaLog&) {}, true},
      {"another token", [](TLCommonSchemaLog& log) { log.addTransmissionTargetToken("def-456"); }, true},
      {"ver", [](TLCommonSchemaLog& log) { log.setVer("4.0"); }, false},
      {"name", [](TLCommonSchemaLog& log) { log.setName(std::nullopt); }, false},
      {"iKey", [](TLCommonSchemaLog& log) { log.setIKey("o:def"); }, false},
      {"cV", [](TLCommonSchemaLog& log) { log.setCV(std::nullopt); }, false},
      {"popSample", [](TLCommonSchemaLog& log) { log.setPopSample(11); }, false},
      {"flags", [](TLCommonSchemaLog& log) { log.setFlags(TLFlagsNormal); }, false},
      {"a base field", [](TLCommonSchemaLog& log) { log.setUserId("bob"); }, false},
      {"one extension field", [](TLCommonSchemaLog& log) { log.ext()->locExt->tz = "+00:00"; }, false},
      {"no extensions", [](TLCommonSchemaLog& log) { log.setExt(nullptr); }, false},
      {"data", [](TLCommonSchemaLog& log) { log.setData(std::make_shared<TLCSData>()); }, false},
  };
  for (const auto& c : cases) {
    auto log = fullLog();
    c.change(*log);
    EXPECT_EQ(fullLog()->isEqual(*log), c.equal) << c.name;
    EXPECT_EQ(log->isEqual(*fullLog()), c.equal) << c.name;
  }

  auto plain = std::make_shared<TLAbstractLog>();
  EXPECT_FALSE(std::make_shared<TLCommonSchemaLog>()->isEqual(*plain));

  auto unsampled = fullLog();
  unsampled->setPopSample(std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(unsampled->isEqual(*unsampled));
}

TEST(TLCommonSchemaLogTest, ArchivingKeepsEveryFieldAndUnkeyedPartsButNotTheTokens) {
  const auto log = fullLog();
  const auto copy = test::archiveRoundTrip(log, "TLAbstractLog");
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isEqual(*log));
  EXPECT_EQ(copy->popSample(), 10);
  EXPECT_EQ(copy->cV(), "cv.1");
  EXPECT_EQ(copy->ext()->metadataExt->metadata(), log->ext()->metadataExt->metadata());
  EXPECT_EQ(copy->data()->properties(), log->data()->properties());
  EXPECT_EQ(copy->serializeLogWithPrettyPrinting(false), log->serializeLogWithPrettyPrinting(false));
  EXPECT_FALSE(copy->transmissionTargetTokens());

  const auto empty = test::archiveRoundTrip(std::make_shared<TLCommonSchemaLog>(), "TLCommonSchemaLog");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->ext());
  EXPECT_FALSE(empty->data());
  EXPECT_EQ(empty->flags(), 0);
}

}  // namespace
