#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "telemetry/core/Internals/Channel/TLChannelUnitDefault.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"

namespace {

const std::string kInstallId = "1C5DB1A4-3E3F-4D2B-8F73-2B6D8E0E4B10";
const std::string kSecret = "5d3c1a0e-7b1f-4c1e-9d4a-SECRETS-END8";

// Batch size 1: every stored log is sent at once.
TLChannelUnitConfiguration eachLogAtOnce(const std::string& groupId) { return {groupId, 1, 3, 1, 3}; }

std::shared_ptr<TLChannelUnitDefault> asDefault(const std::shared_ptr<TLChannelUnitProtocol>& unit) {
  return std::dynamic_pointer_cast<TLChannelUnitDefault>(unit);
}

// A port on 127.0.0.1 that accepts connections and never answers: a send to it stays in flight
// until the process ends.
class SilentPeer {
 public:
  SilentPeer() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(socket_, 16) != 0 || ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentPeer() { ::close(socket_); }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int socket_ = -1;
  int port_ = 0;
};

class TLChannelGroupTest : public testing::Test {
 protected:
  // Work still queued must not outlive the process's statics. The shared auth token context keeps
  // every unit; dropping it lets the units, their ingestions and their connections go before the
  // servers do.
  ~TLChannelGroupTest() override {
    test::onQueue(queue);
    TLAuthTokenContext::resetSharedInstance();
  }

  std::shared_ptr<TLTelemetryIngestion> makeIngestion(const std::string& baseURL) {
    auto made = TLTelemetryIngestion::create(baseURL, kInstallId, {1, 1, 1});
    made->setAppSecret(kSecret);
    return made;
  }
  std::shared_ptr<TLChannelGroupDefault> makeGroup(const std::string& baseURL) {
    auto made = TLChannelGroupDefault::create(makeIngestion(baseURL), nullptr, queue);
    made->addDelegate(recorder);
    return made;
  }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  test::FakeIngestionServer ownServer;  // for a unit with its own ingestion
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("channel-group-test");
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
  std::shared_ptr<TLChannelGroupDefault> group = makeGroup(server.baseURL());
};

TEST_F(TLChannelGroupTest, TheGroupKeepsItsUnitsInOrderAndFindsTheFirstOfAGroupId) {
  EXPECT_EQ(group->addChannelUnitWithConfiguration(std::nullopt), nullptr);
  EXPECT_EQ(recorder->count("addUnit"), 0u);

  const auto first = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("A"));
  const auto second = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("A"));
  const auto other = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("B"));
  EXPECT_EQ(group->channels(), (std::vector<std::shared_ptr<TLChannelUnitProtocol>>{first, second, other}));
  EXPECT_EQ(group->channelUnitForGroupId("A"), first);
  EXPECT_EQ(group->channelUnitForGroupId("B"), other);
  EXPECT_EQ(group->channelUnitForGroupId("C"), nullptr);
  EXPECT_EQ(recorder->count("addUnit"), 3u);
  EXPECT_EQ(asDefault(first)->ingestion(), group->ingestion());
  EXPECT_EQ(asDefault(first)->storage(), group->storage());
  EXPECT_EQ(first->logsDispatchQueue(), queue);
  EXPECT_EQ(TLChannelGroupDefault::create(nullptr)->logsDispatchQueue()->label(), "com.telemetry.sdk.ChannelGroupQueue");

  // A delegate that comes later hears the units' callbacks, with the unit as the channel.
  auto late = std::make_shared<test::RecordingChannelDelegate>();
  group->addDelegate(late);
  auto log = test::startServiceLog();
  other->enqueueItem(log, TLFlagsNormal);
  test::onQueue(queue);
  EXPECT_EQ(late->kindsFor(log), (std::vector<std::string>{"prepare", "didPrepare", "complete"}));
  EXPECT_EQ(late->events("complete").at(0).channel, other.get());
  group->removeDelegate(late);
  other->enqueueItem(test::startServiceLog(), TLFlagsNormal);
  test::onQueue(queue);
  EXPECT_EQ(late->count("complete"), 1u);
}

TEST_F(TLChannelGroupTest, ALogEnqueuedRightAfterItsUnitIsMadeReachesTheGroupsDelegates) {
  TLSessionContext::sharedInstance()->setSessionId("session-1");
  recorder->prepare = [](const std::shared_ptr<TLLog>& log) { log->setSid(TLSessionContext::sharedInstance()->sessionId()); };
  for (int i = 0; i < 20; ++i) {
    const auto unit = group->addChannelUnitWithConfiguration(
        TLChannelUnitConfiguration::defaultConfiguration("G" + std::to_string(i)));
    auto log = test::startServiceLog();
    unit->enqueueItem(log, TLFlagsNormal);
    EXPECT_EQ(log->sid(), "session-1") << i;
  }
}

TEST_F(TLChannelGroupTest, SwitchingTheGroupTellsOfTheGroupAtOnceAndOfEachUnitLater) {
  const auto a = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("A"));
  const auto b = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("B"));
  queue->suspend();  // the units' part cannot run yet
  group->setEnabled(false, true);
  auto events = recorder->events("enabled");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].channel, group.get());
  EXPECT_FALSE(events[0].isEnabled);
  EXPECT_TRUE(events[0].deleteData);
  EXPECT_FALSE(group->ingestion()->isEnabled());
  queue->resume();
  test::onQueue(queue);
  events = recorder->events("enabled");
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].channel, a.get());
  EXPECT_EQ(events[2].channel, b.get());
  EXPECT_TRUE(events[2].deleteData);
  EXPECT_TRUE(asDefault(a)->discardLogs() && asDefault(b)->discardLogs());
}

TEST_F(TLChannelGroupTest, AUnitWithItsOwnIngestionSendsThroughItYetFollowsTheGroup) {
  const auto ownIngestion = makeIngestion(ownServer.baseURL());
  const auto unit = group->addChannelUnitWithConfiguration(eachLogAtOnce("Own"), ownIngestion);
  unit->enqueueItem(test::startServiceLog(), TLFlagsNormal);
  ASSERT_TRUE(recorder->waitFor("succeed", 1));
  EXPECT_EQ(ownServer.requestCount(), 1u);
  EXPECT_EQ(server.requestCount(), 0u);

  const auto holder = std::make_shared<int>(0);
  group->pauseWithIdentifyingObject(holder);
  EXPECT_FALSE(group->ingestion()->isEnabled());
  test::onQueue(queue);
  EXPECT_TRUE(asDefault(unit)->isPaused());
  group->resumeWithIdentifyingObject(holder);
  test::onQueue(queue);
  EXPECT_FALSE(asDefault(unit)->isPaused());
  EXPECT_TRUE(group->ingestion()->isEnabled());
  group->setEnabled(false, false);
  test::onQueue(queue);
  EXPECT_FALSE(asDefault(unit)->isEnabled());
}

TEST_F(TLChannelGroupTest, TheStoreLimitIsSetOnTheQueueAndALogItRefusesFails) {
  const auto unit = group->addChannelUnitWithConfiguration(TLChannelUnitConfiguration::defaultConfiguration("A"));
  std::optional<bool> changed;
  group->setMaxStorageSize(64 * 1024, [&](bool result) {
    EXPECT_TRUE(queue->isCurrent());
    changed = result;
  });
  test::onQueue(queue);
  EXPECT_EQ(changed, true);
  unit->enqueueItem(test::startServiceLog(std::string(64 * 1024, 'x')), TLFlagsNormal);
  test::onQueue(queue);
  ASSERT_EQ(recorder->count("fail"), 1u);
  EXPECT_EQ(recorder->events("fail")[0].error->code(), TLLogNotStoredErrorCode);
}

// The process ends while its batch is in flight: the next launch sends the batch again, once.
TEST_F(TLChannelGroupTest, LogsInFlightWhenTheProcessEndsGoOutAtTheNextLaunch) {
  SilentPeer silent;
  {
    auto firstLaunch = makeGroup(silent.baseURL());
    const auto unit = firstLaunch->addChannelUnitWithConfiguration(eachLogAtOnce("Group"));
    unit->enqueueItem(test::startServiceLog("in flight"), TLFlagsNormal);
    ASSERT_TRUE(recorder->waitFor("willSend", 1));
  }
  const auto nextQueue = dispatch::Queue::createSerial("next-launch");
  auto nextLaunch = TLChannelGroupDefault::create(makeIngestion(server.baseURL()), nullptr, nextQueue);
  nextLaunch->addDelegate(recorder);
  const auto unit = nextLaunch->addChannelUnitWithConfiguration(
      TLChannelUnitConfiguration::defaultConfiguration("Group", 0));  // flushes at each log
  unit->enqueueItem(test::startServiceLog("new"), TLFlagsNormal);
  ASSERT_TRUE(recorder->waitFor("succeed", 2));
  test::pumpFor(0.2);
  std::vector<std::string> sent;
  for (const auto& request : server.requests()) {
    const foundation::Value container = test::parseJson(request.body);
    for (const auto& log : container["logs"].arrayValue()) sent.push_back(log["userId"].stringValue());
  }
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"in flight", "new"}));
}

}  // namespace
