#include "telemetry/analytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/foundation/SystemPaths.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/TLAnalytics.h"
#include "telemetry/core/Internals/Ingestion/TLTicketCache.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLTelemetry.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

constexpr const char* kDefaultToken = "defaultkey-secret";

// Answers every token request at once.
class ImmediateTokenDelegate : public TLAnalyticsAuthenticationProviderDelegate {
 public:
  int requests = 0;
  void authenticationProviderAcquireToken(TLAnalyticsAuthenticationProvider&,
                                          TLAcquireTokenCompletionBlock completion) override {
    ++requests;
    completion("token-" + std::to_string(requests), foundation::Date::now().addingTimeInterval(3600));
  }
};

// The SDK started from the application with a default target token and analytics, sending to a
// server on 127.0.0.1; a recorder on the channel group sees every log prepared.
class TLAnalyticsTransmissionTargetTest : public testing::Test {
 protected:
  void SetUp() override {
    foundation::SystemPaths::setMachineIdPathForTesting(home.file("machine-id"));
    // No connection is kept open, so the server stops at once when the test ends.
    server.setDefaultResponse(test::ScriptedResponse(200, {{"Connection", "close"}}));
    TLTelemetry::setLogUrl(server.baseURL());
    TLTelemetry::start(std::string("target=") + kDefaultToken, {TLServiceClass::of<TLAnalytics>()});
    group = TLTelemetry::sharedInstance()->channelGroup();
    ASSERT_TRUE(group);
    group->addDelegate(recorder);
  }
  void TearDown() override {
    // The work the test left on the channel group's queue (switching units and their companions,
    // which a unit's switch queues in turn) ends before the SDK goes, so none of it runs while the
    // process exits.
    if (const auto unit = TLAnalytics::sharedInstance()->channelUnit()) {
      test::onQueue(unit->logsDispatchQueue());
      test::onQueue(unit->logsDispatchQueue());
    }
    TLAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr);
    TLAnalytics::resetSharedInstance();
    TLTelemetry::resetSharedInstance();
    foundation::SystemPaths::setMachineIdPathForTesting(std::nullopt);
  }

  // The common-schema logs prepared for the collector so far, in order.
  std::vector<std::shared_ptr<TLCommonSchemaLog>> collectorLogs() const {
    std::vector<std::shared_ptr<TLCommonSchemaLog>> logs;
    for (const auto& event : recorder->events("prepare")) {
      if (auto log = std::dynamic_pointer_cast<TLCommonSchemaLog>(event.log)) logs.push_back(log);
    }
    return logs;
  }
  std::shared_ptr<TLCommonSchemaLog> lastCollectorLog() const {
    const auto logs = collectorLogs();
    EXPECT_FALSE(logs.empty());
    return logs.empty() ? nullptr : logs.back();
  }
  // A common-schema log of `token` with empty extensions, as a channel would prepare it.
  static std::shared_ptr<TLCommonSchemaLog> bareLogFor(const std::string& token) {
    auto log = std::make_shared<TLCommonSchemaLog>();
    log->setExt(std::make_shared<TLCSExtensions>());
    log->addTransmissionTargetToken(token);
    return log;
  }
  static foundation::Dictionary dataOf(const TLCommonSchemaLog& log) {
    return log.data() ? log.data()->properties().value_or(foundation::Dictionary()) : foundation::Dictionary();
  }

  test::TempDir home;
  test::FakeIngestionServer server;
  std::shared_ptr<TLChannelGroupProtocol> group;
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
};

TEST_F(TLAnalyticsTransmissionTargetTest, FieldsAndEventPropertiesAreInheritedThroughTwoLevels) {
  auto top = TLAnalytics::transmissionTargetForToken("top-1");
  auto child = top->transmissionTargetForToken("child-1");
  auto grandchild = child->transmissionTargetForToken("grandchild-1");
  top->propertyConfigurator()->setAppName("TopApp");
  top->propertyConfigurator()->setAppVersion("1.0");
  top->propertyConfigurator()->setUserId("alice");
  top->propertyConfigurator()->setEventPropertyString("top", "shared");
  top->propertyConfigurator()->setEventPropertyString("top", "level");
  child->propertyConfigurator()->setAppName("ChildApp");
  child->propertyConfigurator()->setEventPropertyString("child", "level");
  grandchild->propertyConfigurator()->setEventPropertyInt64(7, "own");

  grandchild->trackEvent("fromGrandchild");
  auto log = lastCollectorLog();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->name(), "fromGrandchild");
  EXPECT_EQ(log->ext()->appExt->name, "ChildApp");
  EXPECT_EQ(log->ext()->appExt->ver, "1.0");
  EXPECT_EQ(log->ext()->userExt->localId, "c:alice");
  EXPECT_EQ(dataOf(*log), (foundation::Dictionary{{"shared", "top"}, {"level", "child"}, {"own", 7}}));

  // Properties passed with the event win over every configured one.
  auto passed = std::make_shared<TLEventProperties>();
  passed->setString("passed", "level");
  grandchild->trackEvent("withPassed", passed);
  EXPECT_EQ(dataOf(*lastCollectorLog()), (foundation::Dictionary{{"shared", "top"}, {"level", "passed"}, {"own", 7}}));

  // The top level's own events carry only its own values.
  top->trackEvent("fromTop");
  log = lastCollectorLog();
  EXPECT_EQ(log->ext()->appExt->name, "TopApp");
  EXPECT_EQ(dataOf(*log), (foundation::Dictionary{{"shared", "top"}, {"level", "top"}}));
}

TEST_F(TLAnalyticsTransmissionTargetTest, WithoutOverridesTheCoreValuesStayAndNoPropertiesMeansNone) {
  auto target = TLAnalytics::transmissionTargetForToken("plain-1");
  target->trackEvent("plain");
  auto log = lastCollectorLog();
  ASSERT_TRUE(log);
  EXPECT_FALSE(log->data()) << "no properties anywhere: no data";
  EXPECT_TRUE(log->ext()->appExt->ver) << "the application version the core put in";
  EXPECT_FALSE(log->ext()->deviceExt->localId);
}

TEST_F(TLAnalyticsTransmissionTargetTest, RemovedEventPropertiesLeaveTheEvents) {
  auto target = TLAnalytics::transmissionTargetForToken("removal-1");
  auto configurator = target->propertyConfigurator();
  configurator->setEventPropertyString("v", "kept");
  configurator->setEventPropertyBool(true, "dropped");
  test::TLLogRecorder logs;
  configurator->removeEventPropertyForKey("dropped");
  configurator->removeEventPropertyForKey("never-set");
  EXPECT_TRUE(logs.messages(TLLogLevelError).empty());
  configurator->removeEventPropertyForKey(std::nullopt);
  EXPECT_EQ(logs.messages(TLLogLevelError), std::vector<std::string>{"Event property key to remove cannot be nil."});

  target->trackEvent("afterRemoval");
  EXPECT_EQ(dataOf(*lastCollectorLog()), (foundation::Dictionary{{"kept", "v"}}));
}

TEST_F(TLAnalyticsTransmissionTargetTest, UserIdsAreStoredWithThePrefixAndInvalidOnesKeepThePrevious) {
  auto configurator = TLAnalytics::transmissionTargetForToken("users-1")->propertyConfigurator();
  struct Step {
    std::optional<std::string> given;
    std::optional<std::string> stored;
  };
  const Step steps[] = {
      {"abc", "c:abc"}, {"c:xyz", "c:xyz"}, {"", "c:xyz"}, {"x:abc", "c:xyz"}, {"c:", "c:xyz"}, {std::nullopt, std::nullopt},
  };
  for (const Step& step : steps) {
    configurator->setUserId(step.given);
    EXPECT_EQ(configurator->userId(), step.stored) << step.given.value_or("(absent)");
  }
}

TEST_F(TLAnalyticsTransmissionTargetTest, TheDeviceIdIsSentOnlyByATargetThatCollectsIt) {
  ASSERT_TRUE(test::writeFile(home.file("machine-id"), "0123456789abcdef0123456789abcdef\n"));
  auto collecting = TLAnalytics::transmissionTargetForToken("collects-1");
  auto child = collecting->transmissionTargetForToken("child-1");
  collecting->propertyConfigurator()->collectDeviceId();
  collecting->trackEvent("collected");
  const auto id = lastCollectorLog()->ext()->deviceExt->localId;
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, "u:7C907DAA-5761-4CD9-B051-73F03AF8A1BD");
  EXPECT_EQ(id->find("0123456789abcdef"), std::string::npos) << "never the raw machine id";

  child->trackEvent("notInherited");
  EXPECT_FALSE(lastCollectorLog()->ext()->deviceExt->localId);

  // A machine without an id sends none at all, never a placeholder.
  std::remove(home.file("machine-id").c_str());
  EXPECT_FALSE(TLPropertyConfigurator::getDeviceIdentifier());
  child->propertyConfigurator()->collectDeviceId();
  child->trackEvent("noMachineId");
  EXPECT_FALSE(lastCollectorLog()->ext()->deviceExt->localId);
}

TEST_F(TLAnalyticsTransmissionTargetTest, OverridesTouchOnlyTheirOwnEnabledTargetsLogs) {
  auto mine = TLAnalytics::transmissionTargetForToken("mine-1");
  auto other = TLAnalytics::transmissionTargetForToken("other-1");
  mine->propertyConfigurator()->setAppName("Mine");
  other->trackEvent("others");
  EXPECT_NE(lastCollectorLog()->ext()->appExt->name, "Mine");

  // A log of a disabled target is left alone (the service drops its events; a log prepared for it
  // anyway keeps the core's values).
  auto log = bareLogFor("mine-1");
  log->setTag(foundation::Value(std::static_pointer_cast<foundation::Object>(mine)));
  mine->setEnabled(false);
  mine->propertyConfigurator()->channelPrepareLog(*group, log);
  EXPECT_FALSE(log->ext()->appExt);
  mine->setEnabled(true);
  mine->propertyConfigurator()->channelPrepareLog(*group, log);
  EXPECT_EQ(log->ext()->appExt->name, "Mine");
}

TEST_F(TLAnalyticsTransmissionTargetTest, EnabledStateFollowsTheLevelAbove) {
  auto top = TLAnalytics::transmissionTargetForToken("tree-1");
  auto child = top->transmissionTargetForToken("child-1");
  auto grandchild = child->transmissionTargetForToken("grandchild-1");
  EXPECT_EQ(top->transmissionTargetForToken("child-1"), child);

  top->setEnabled(false);
  EXPECT_FALSE(child->isEnabled());
  EXPECT_FALSE(grandchild->isEnabled());
  {
    test::TLLogRecorder logs;
    child->setEnabled(true);
    EXPECT_EQ(logs.messages(TLLogLevelWarning),
              std::vector<std::string>{"Can't enable; parent transmission target and/or Analytics service is disabled."});
    EXPECT_FALSE(child->isEnabled());
    EXPECT_FALSE(grandchild->isEnabled()) << "children of a refused target are left alone";
  }
  top->setEnabled(true);
  EXPECT_TRUE(child->isEnabled());
  EXPECT_TRUE(grandchild->isEnabled());

  // Setting the current value still visits every child.
  grandchild->setEnabled(false);
  top->setEnabled(true);
  EXPECT_TRUE(grandchild->isEnabled());
}

TEST_F(TLAnalyticsTransmissionTargetTest, ATargetBornWhileTheServiceIsDisabledStaysDisabledUntilItIsEnabled) {
  TLAnalytics::setEnabled(false);
  auto target = TLAnalytics::transmissionTargetForToken("late-1");
  EXPECT_FALSE(target->isEnabled());
  target->setEnabled(true);
  EXPECT_FALSE(target->isEnabled());
  TLAnalytics::setEnabled(true);
  target->setEnabled(true);
  EXPECT_TRUE(target->isEnabled());

  test::TLLogRecorder logs;
  target->setEnabled(false);
  target->pause();
  EXPECT_EQ(logs.messages(TLLogLevelError), std::vector<std::string>{"This transmission target is disabled."});
}

TEST_F(TLAnalyticsTransmissionTargetTest, TicketsAreStoredPutOnTheTargetsLogsAndSent) {
  TLTicketCache::sharedInstance().clearCache();
  auto delegate = std::make_shared<ImmediateTokenDelegate>();
  auto provider = TLAnalyticsAuthenticationProvider::create(TLAnalyticsAuthenticationTypeD, "ticket-key", delegate);
  {
    test::TLLogRecorder logs;
    TLAnalyticsTransmissionTarget::addAuthenticationProvider(nullptr);
    EXPECT_EQ(logs.messages(TLLogLevelError), std::vector<std::string>{"Authentication provider may not be null."});
  }
  TLAnalyticsTransmissionTarget::addAuthenticationProvider(provider);
  EXPECT_EQ(delegate->requests, 1);
  const std::string hash = TLUtility::sha256("ticket-key");
  EXPECT_EQ(TLTicketCache::sharedInstance().ticketFor(hash), "d:token-1");

  auto target = TLAnalytics::transmissionTargetForToken("tickets-1");
  target->trackEvent("withTicket");
  EXPECT_EQ(lastCollectorLog()->ext()->protocolExt->ticketKeys, std::vector<std::string>{hash});
  std::vector<test::RecordedRequest> requests;
  const auto carriesTheEvent = [](const test::RecordedRequest& request) {
    return request.body.find("withTicket") != std::string::npos;
  };
  ASSERT_TRUE(foundation::pumpMainUntil([&] {
    requests = server.requests();
    return std::any_of(requests.begin(), requests.end(), carriesTheEvent);
  }, 10));
  const auto sent = std::find_if(requests.begin(), requests.end(), carriesTheEvent);
  EXPECT_EQ(sent->header("Tickets"), "{\"" + hash + "\":\"d:token-1\"}");

  // The logs of a disabled target get no ticket key.
  target->setEnabled(false);
  auto log = bareLogFor("tickets-1");
  target->channelPrepareLog(*group, log);
  EXPECT_FALSE(log->ext()->protocolExt);
  // Nor does a log of another token.
  target->setEnabled(true);
  auto foreign = bareLogFor("another-1");
  target->channelPrepareLog(*group, foreign);
  EXPECT_FALSE(foreign->ext()->protocolExt);
  EXPECT_EQ(delegate->requests, 1) << "the token is far from expiry";
}

}  // namespace
