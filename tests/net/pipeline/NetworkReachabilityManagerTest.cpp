#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "net/pipeline/NetworkReachabilityManager.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/reachability/ScriptedFlagSource.h"

using namespace pipeline;
using namespace reachability;

namespace {

const auto kWiFi = NetworkReachabilityStatus::reachable(ConnectionType::ethernetOrWiFi);
const auto kNot = NetworkReachabilityStatus::notReachable();
const auto kUnknown = NetworkReachabilityStatus::unknown();

class NetworkReachabilityManagerTest : public testing::Test {
 protected:
  void SetUp() override { setFlagSource(source); }
  void TearDown() override { setFlagSource(nullptr); }

  // Scripts the flags of the general-network target (0.0.0.0).
  void setNetworkFlags(std::optional<Flags> flags) { source->setFlags("0.0.0.0", flags); }

  std::shared_ptr<ScriptedFlagSource> source = std::make_shared<ScriptedFlagSource>();
};

// The statuses a listener heard, and whether each came on the expected queue.
struct Heard {
  std::mutex mutex;
  std::vector<NetworkReachabilityStatus> statuses;
  std::atomic<bool> offQueue{false};

  NetworkReachabilityManager::Listener listenOn(std::shared_ptr<dispatch::Queue> queue) {
    return [this, queue](NetworkReachabilityStatus status) {
      if (!queue->isCurrent()) offQueue = true;
      std::lock_guard lock(mutex);
      statuses.push_back(status);
    };
  }
  std::vector<NetworkReachabilityStatus> snapshot() {
    std::lock_guard lock(mutex);
    return statuses;
  }
};

TEST_F(NetworkReachabilityManagerTest, FlagsToStatus) {
  auto manager = NetworkReachabilityManager::create();
  ASSERT_NE(manager, nullptr);
  struct Case {
    std::optional<Flags> flags;
    NetworkReachabilityStatus status;
  } cases[] = {
      {0, kNot},
      {kReachable, kWiFi},
      {kReachable | kConnectionRequired, kNot},
      {kReachable | kConnectionRequired | kConnectionOnTraffic, kWiFi},
      {kReachable | kConnectionRequired | kConnectionOnDemand, kWiFi},
      {kReachable | kConnectionRequired | kConnectionOnDemand | kInterventionRequired, kNot},
      {kReachable | kConnectionRequired | kConnectionOnTraffic | kInterventionRequired, kNot},
      {kReachable | kInterventionRequired, kWiFi},  // no connection needed: intervention is moot
      {kConnectionOnTraffic | kConnectionOnDemand, kNot},
      {kReachable | kIsWWAN, kWiFi},  // no flag selects WWAN here
      {kReachable | kIsLocalAddress | kIsDirect, kWiFi},
      {std::nullopt, kUnknown},
  };
  for (const auto& c : cases) {
    setNetworkFlags(c.flags);
    const Flags bits = c.flags.value_or(0);
    const bool reachable = c.status == kWiFi;
    EXPECT_EQ(manager->networkReachabilityStatus(), c.status) << bits;
    if (c.flags) {
      EXPECT_EQ(manager->networkReachabilityStatusForFlags(bits), c.status) << bits;
      EXPECT_EQ(manager->isNetworkReachable(bits), reachable) << bits;
    }
    EXPECT_EQ(manager->isReachable(), reachable) << bits;
    EXPECT_EQ(manager->isReachableOnEthernetOrWiFi(), reachable) << bits;
    EXPECT_FALSE(manager->isReachableOnWWAN()) << bits;
    EXPECT_EQ(manager->flags(), c.flags);
  }
}

TEST(NetworkReachabilityStatusTest, Equality) {
  EXPECT_EQ(kUnknown, NetworkReachabilityStatus::unknown());
  EXPECT_NE(kUnknown, kNot);
  EXPECT_NE(kWiFi, NetworkReachabilityStatus::reachable(ConnectionType::wwan));
  EXPECT_NE(kWiFi, kNot);
}

TEST_F(NetworkReachabilityManagerTest, ListenerHearsOnceAtStartThenOncePerChangeOnItsQueue) {
  setNetworkFlags(kReachable);
  auto manager = NetworkReachabilityManager::create();
  auto queue = dispatch::Queue::createSerial("test.reachability.listener");
  Heard heard;
  manager->setListenerQueue(queue);
  manager->setListener(heard.listenOn(queue));
  EXPECT_EQ(manager->previousFlags(), NetworkReachabilityManager::kUnreportedFlags);
  EXPECT_TRUE(manager->startListening());
  queue->sync([] {});
  EXPECT_EQ(heard.snapshot(), (std::vector{kWiFi})) << "the current status once, although nothing changed";
  EXPECT_EQ(manager->previousFlags(), kReachable);

  setNetworkFlags(kReachable);                 // same flags: nothing
  setNetworkFlags(kReachable | kIsDirect);     // other bits, same status: heard again
  queue->sync([] {});
  setNetworkFlags(0);                          // status change
  queue->sync([] {});
  setNetworkFlags(std::nullopt);               // unreadable: nothing
  queue->sync([] {});
  EXPECT_EQ(heard.snapshot(), (std::vector{kWiFi, kWiFi, kNot}));
  EXPECT_FALSE(heard.offQueue);
  manager->stopListening();
}

TEST_F(NetworkReachabilityManagerTest, NoCallbackAfterStopAndRestartReportsAgain) {
  setNetworkFlags(kReachable);
  auto manager = NetworkReachabilityManager::create();
  auto queue = dispatch::Queue::createSerial("test.reachability.stop");
  Heard heard;
  manager->setListenerQueue(queue);
  manager->setListener(heard.listenOn(queue));
  manager->startListening();
  queue->sync([] {});
  manager->stopListening();
  setNetworkFlags(0);
  queue->sync([] {});
  EXPECT_EQ(heard.snapshot(), (std::vector{kWiFi}));
  EXPECT_EQ(manager->previousFlags(), kReachable) << "previous flags survive stopping";

  // A new start resets the previous flags, so the current status is heard even if unchanged.
  setNetworkFlags(kReachable);
  manager->startListening();
  queue->sync([] {});
  EXPECT_EQ(heard.snapshot(), (std::vector{kWiFi, kWiFi}));
  manager->stopListening();
}

TEST_F(NetworkReachabilityManagerTest, UnreadableFlagsSkipTheFirstReport) {
  setNetworkFlags(std::nullopt);
  auto manager = NetworkReachabilityManager::create();
  auto queue = dispatch::Queue::createSerial("test.reachability.unknown");
  Heard heard;
  manager->setListenerQueue(queue);
  manager->setListener(heard.listenOn(queue));
  manager->startListening();
  queue->sync([] {});
  EXPECT_TRUE(heard.snapshot().empty());
  setNetworkFlags(0);
  queue->sync([] {});
  EXPECT_EQ(heard.snapshot(), (std::vector{kNot}));
  manager->stopListening();
}

TEST_F(NetworkReachabilityManagerTest, ManagerDestroyedWhileListeningStopsCallbacks) {
  setNetworkFlags(kReachable);
  auto queue = dispatch::Queue::createSerial("test.reachability.destroyed");
  auto calls = std::make_shared<std::atomic<int>>(0);
  {
    auto manager = NetworkReachabilityManager::create();
    manager->setListenerQueue(queue);
    manager->setListener([calls](NetworkReachabilityStatus) { ++*calls; });
    manager->startListening();
    queue->sync([] {});  // the start report has run and let go of the manager
  }
  EXPECT_EQ(*calls, 1);
  setNetworkFlags(0);
  queue->sync([] {});
  EXPECT_EQ(*calls, 1);
}

TEST_F(NetworkReachabilityManagerTest, HostTargetAndMainQueueByDefault) {
  source->setFlags("downloads.test", kReachable | kConnectionRequired | kConnectionOnTraffic);
  auto manager = NetworkReachabilityManager::create("downloads.test");
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->listenerQueue(), dispatch::mainQueue());
  std::vector<NetworkReachabilityStatus> heard;
  bool onMain = true;
  manager->setListener([&](NetworkReachabilityStatus status) {
    onMain = onMain && dispatch::Queue::isMainThread();
    heard.push_back(status);
  });
  manager->startListening();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return heard.size() == 1; }, 5));
  source->setFlags("downloads.test", kReachable | kConnectionRequired);
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return heard.size() == 2; }, 5));
  EXPECT_EQ(heard, (std::vector{kWiFi, kNot}));
  EXPECT_TRUE(onMain);
  manager->stopListening();
  EXPECT_EQ(NetworkReachabilityManager::create(""), nullptr);
}

TEST(NetworkReachabilityManagerSystemTest, LoopbackIsReachableAndAMalformedNameIsNotWithoutBlocking) {
  auto loopback = NetworkReachabilityManager::create("127.0.0.1");
  ASSERT_NE(loopback, nullptr);
  EXPECT_TRUE(loopback->isReachable());

  const auto start = std::chrono::steady_clock::now();
  auto unresolvable = NetworkReachabilityManager::create(std::string(70, 'q') + ".test");
  ASSERT_NE(unresolvable, nullptr);
  EXPECT_EQ(unresolvable->networkReachabilityStatus(), kNot);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
