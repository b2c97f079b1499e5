#include "telemetry/core/Internals/Channel/TLCollectorChannelDelegate.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitDefault.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

const std::string kInstallId = "1C5DB1A4-3E3F-4D2B-8F73-2B6D8E0E4B10";
const std::string kSecret = "5d3c1a0e-7b1f-4c1e-9d4a-SECRETS-END8";

std::shared_ptr<TLChannelUnitDefault> asDefault(const std::shared_ptr<TLChannelUnitProtocol>& unit) {
  return std::dynamic_pointer_cast<TLChannelUnitDefault>(unit);
}

std::shared_ptr<TLLog> eventLog(const std::string& name, std::vector<std::string> tokens = {}) {
  return std::make_shared<test::NamedEventLog>(name, std::move(tokens));
}

class TLCollectorChannelDelegateTest : public testing::Test {
 protected:
  TLCollectorChannelDelegateTest() {
    auto ingestion = TLTelemetryIngestion::create(server.baseURL(), kInstallId, {1, 1, 1});
    ingestion->setAppSecret(kSecret);
    group = TLChannelGroupDefault::create(ingestion, nullptr, queue);
    group->addDelegate(collector);
    group->addDelegate(recorder);
  }
  // Work still queued must not outlive the process's statics; the shared auth token context
  // keeps every unit, so it goes too.
  ~TLCollectorChannelDelegateTest() override {
    test::onQueue(queue);
    TLAuthTokenContext::resetSharedInstance();
  }

  // The common-schema logs stored for `groupId`, in store order.
  std::vector<std::shared_ptr<TLCommonSchemaLog>> storedIn(const std::string& groupId) {
    std::vector<std::shared_ptr<TLCommonSchemaLog>> logs;
    test::onQueue(queue, [&] {
      auto* store = dynamic_cast<TLLogDBStorage*>(group->storage().get());
      for (const auto& log : store->logsFromDBWithGroupId(groupId)) {
        logs.push_back(std::dynamic_pointer_cast<TLCommonSchemaLog>(log));
      }
    });
    return logs;
  }
  std::size_t countIn(const std::string& groupId) {
    std::size_t count = 0;
    test::onQueue(queue, [&] {
      count = dynamic_cast<TLLogDBStorage*>(group->storage().get())->logsFromDBWithGroupId(groupId).size();
    });
    return count;
  }
  // The common-schema logs the companion prepared, in order: what stamping made of them.
  std::vector<std::shared_ptr<TLCommonSchemaLog>> prepared() {
    std::vector<std::shared_ptr<TLCommonSchemaLog>> logs;
    for (const auto& event : recorder->events("prepare")) {
      if (auto log = std::dynamic_pointer_cast<TLCommonSchemaLog>(event.log)) logs.push_back(log);
    }
    return logs;
  }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;      // the telemetry ingestion
  test::FakeIngestionServer collectorServer;
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("collector-test");
  std::shared_ptr<TLCollectorChannelDelegate> collector = std::make_shared<TLCollectorChannelDelegate>(
      *foundation::UUID::fromString(kInstallId), collectorServer.baseURL());
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
  std::shared_ptr<TLChannelGroupDefault> group;
};

TEST_F(TLCollectorChannelDelegateTest, EveryRegularUnitGetsACompanionWithItsFlushInterval) {
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration("Analytics", 2, 7, 10, 5));
  const auto channels = group->channels();
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_EQ(channels[0], unit);
  const auto companion = channels[1];
  EXPECT_EQ(companion->configuration(), TLChannelUnitConfiguration("Analytics/one", 1, 7, 50, 3));
  EXPECT_EQ(collector->collectorChannelForGroupId("Analytics"), companion);
  EXPECT_EQ(asDefault(companion)->ingestion(), collector->collectorIngestion());
  EXPECT_EQ(collector->baseUrl(), collectorServer.baseURL());

  group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("Other/one"));
  EXPECT_EQ(group->channels().size(), 3u) << "a companion's id gets no companion of its own";
  EXPECT_EQ(collector->collectorChannelForGroupId("Other/one"), nullptr);
}

TEST_F(TLCollectorChannelDelegateTest, TargetedLogsBecomeOneCommonSchemaLogPerTokenInTheCompanionOnly) {
  test::TLLogRecorder logged;
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("Analytics"));
  unit->enqueueItem(test::startServiceLog(), TLFlagsNormal);
  unit->enqueueItem(eventLog("targeted.event", {"aaa-token", "bbb-token"}), TLFlagsCritical);
  unit->enqueueItem(eventLog("bad..name", {"aaa-token"}), TLFlagsNormal);
  test::onQueue(queue);

  EXPECT_EQ(countIn("Analytics"), 1u) << "only the log without a token stays in its unit";
  const auto routed = storedIn("Analytics/one");
  ASSERT_EQ(routed.size(), 2u);
  std::set<std::string> iKeys;
  for (const auto& log : routed) {
    ASSERT_TRUE(log);
    EXPECT_EQ(log->name(), "targeted.event");
    EXPECT_EQ(log->flags(), static_cast<std::int64_t>(TLFlagsCritical));
    iKeys.insert(log->iKey().value_or(""));
  }
  EXPECT_EQ(iKeys, (std::set<std::string>{"o:aaa", "o:bbb"}));
  for (const auto& event : recorder->events("didPrepare")) {
    const auto log = std::dynamic_pointer_cast<TLCommonSchemaLog>(event.log);
    if (log && log->name() == "targeted.event") {
      EXPECT_EQ(event.flags, TLFlagsCritical);
    }
  }
  // The ill-named one is stamped, then dropped by the companion with its reason.
  const auto errors = logged.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], std::string("Log validation failed. Name must match '") +
                           R"(^[a-zA-Z0-9]((\.(?!(\.|$)))|[_a-zA-Z0-9]){3,99}$)" + "' but was 'bad..name'");
  EXPECT_EQ(collector->epochAndSeqForIKey("o:aaa")->seq, 2u);
}

TEST_F(TLCollectorChannelDelegateTest, ACommonSchemaLogInARegularUnitMovesToTheCompanionWithItsFlags) {
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("Analytics"));
  const auto log = test::commonSchemaLog("aaa-token", "direct.event");
  unit->enqueueItem(log, TLFlagsCritical);
  test::onQueue(queue);
  EXPECT_EQ(countIn("Analytics"), 0u);
  ASSERT_EQ(countIn("Analytics/one"), 1u);
  std::vector<std::string> units;  // where the log was prepared, and with which flags
  for (const auto& event : recorder->events("didPrepare")) {
    EXPECT_EQ(event.log, log);
    EXPECT_EQ(event.flags, TLFlagsCritical);
    units.push_back(event.groupId);
  }
  // The companion's enqueue runs inside the regular unit's callback, so it is heard of first.
  EXPECT_EQ(units, (std::vector<std::string>{"Analytics/one", "Analytics"}));
}

TEST_F(TLCollectorChannelDelegateTest, EachIKeyCountsItsOwnEpochUntilTheGroupIsDisabledWithDeletion) {
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("Analytics"));
  unit->enqueueItem(eventLog("first.a", {"aaa-token"}), TLFlagsNormal);
  unit->enqueueItem(eventLog("second.a", {"aaa-other"}), TLFlagsNormal);  // same target key, same iKey
  unit->enqueueItem(eventLog("first.b", {"bbb-token"}), TLFlagsNormal);
  group->setEnabled(false, true);
  unit->enqueueItem(eventLog("after.a", {"aaa-token"}), TLFlagsNormal);

  const auto logs = prepared();
  ASSERT_EQ(logs.size(), 4u);
  const auto sdk = [&](std::size_t i) { return logs[i]->ext()->sdkExt; };
  EXPECT_EQ(sdk(0)->seq, 1);
  EXPECT_EQ(sdk(1)->seq, 2);
  EXPECT_EQ(sdk(1)->epoch, sdk(0)->epoch);
  EXPECT_TRUE(foundation::UUID::fromString(sdk(0)->epoch.value_or(""))) << sdk(0)->epoch.value_or("");
  EXPECT_EQ(sdk(2)->seq, 1);
  EXPECT_NE(sdk(2)->epoch, sdk(0)->epoch);
  EXPECT_EQ(sdk(3)->seq, 1) << "disabling with deletion starts a new epoch";
  EXPECT_NE(sdk(3)->epoch, sdk(0)->epoch);
  for (std::size_t i = 0; i < logs.size(); ++i) EXPECT_EQ(sdk(i)->installId->UUIDString(), kInstallId);
}

TEST_F(TLCollectorChannelDelegateTest, LogsEnqueuedFromManyThreadsGetDistinctSequenceNumbers) {
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("Analytics"));
  // Stamping happens as logs are prepared; a companion that refuses them spares the store the work.
  collector->collectorChannelForGroupId("Analytics")->setEnabled(false, true);
  test::onQueue(queue);
  constexpr int kThreads = 8, kLogsEach = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kLogsEach; ++i) unit->enqueueItem(eventLog("busy.event", {"aaa-token"}), TLFlagsNormal);
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int64_t> seqs;
  std::set<std::string> epochs;
  for (const auto& log : prepared()) {
    seqs.insert(log->ext()->sdkExt->seq);
    epochs.insert(log->ext()->sdkExt->epoch.value_or(""));
  }
  EXPECT_EQ(seqs.size(), static_cast<std::size_t>(kThreads * kLogsEach));
  EXPECT_EQ(*seqs.rbegin(), kThreads * kLogsEach);
  EXPECT_EQ(epochs.size(), 1u);
  test::onQueue(queue);
}

TEST_F(TLCollectorChannelDelegateTest, EventNamesFollowTheCollectorsRule) {
  struct Case {
    std::string name;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"abc", false},                   {"abcd", true},           {std::string(100, 'a'), true},
      {std::string(101, 'a'), false},   {"a.b.c.d", true},        {"a..bcd", false},
      {"abcd.", false},                 {"_abcd", false},         {"ab-cd", false},
      {"9a_b", true},                   {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(TLCollectorChannelDelegate::validateLogName(c.name), c.valid) << c.name;
  test::TLLogRecorder logged;
  EXPECT_FALSE(TLCollectorChannelDelegate::validateLogName(std::nullopt));
  EXPECT_EQ(logged.messages(TLLogLevelError),
            std::vector<std::string>{"Log validation failed. Name must not be nil or empty."});
}

TEST_F(TLCollectorChannelDelegateTest, ACompanionFollowsItsUnitsEnabledStateAndPauses) {
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("Analytics"));
  const auto companion = collector->collectorChannelForGroupId("Analytics");
  const auto holder = std::make_shared<int>(0);
  unit->pauseWithIdentifyingObject(holder);
  unit->setEnabled(false, true);
  test::onQueue(queue);
  test::onQueue(queue);  // the companion's part, queued by the unit's callbacks
  std::vector<std::string> companionEvents;
  for (const auto& event : recorder->events()) {
    if (event.channel != companion.get()) continue;
    companionEvents.push_back(event.kind);
    if (event.kind == "pause" && event.identifyingObject == holder) companionEvents.back() += " by holder";
    if (event.kind == "enabled") {
      EXPECT_TRUE(!event.isEnabled && event.deleteData);
    }
  }
  // The holder's pause, the unit's own (it is disabled), the companion's own, then the switch.
  EXPECT_EQ(companionEvents, (std::vector<std::string>{"pause by holder", "pause", "pause", "enabled"}));
  EXPECT_TRUE(asDefault(companion)->discardLogs());

  unit->resumeWithIdentifyingObject(holder);
  test::onQueue(queue);
  test::onQueue(queue);
  EXPECT_EQ(recorder->events("resume").back().channel, companion.get());
}

TEST_F(TLCollectorChannelDelegateTest, CompanionsSendStampedLogsToTheCollector) {
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("Analytics", 1));
  unit->enqueueItem(eventLog("sent.event", {"aaa-token"}), TLFlagsNormal);
  ASSERT_TRUE(collectorServer.waitForRequests(1));
  const auto request = collectorServer.requests()[0];
  EXPECT_EQ(request.path, "/Collector/1.0");
  EXPECT_EQ(request.header("apikey"), "aaa-token");
  const foundation::Value line = test::parseJson(request.body);
  EXPECT_EQ(line["name"], foundation::Value("sent.event"));
  EXPECT_EQ(line["ext"]["sdk"]["seq"], foundation::Value(1));
  EXPECT_EQ(line["ext"]["sdk"]["installId"], foundation::Value(kInstallId));
  ASSERT_TRUE(recorder->waitFor("succeed", 1));
  EXPECT_EQ(server.requestCount(), 0u) << "nothing of a targeted log goes to the telemetry ingestion";
}

}  // namespace
