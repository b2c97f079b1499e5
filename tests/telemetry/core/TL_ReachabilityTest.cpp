#include "telemetry/core/Internals/Util/TL_Reachability.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"

namespace {

using namespace reachability;

// Counts the change notifications posted by one watcher (or by any, with a null sender).
class NotificationCounter {
 public:
  explicit NotificationCounter(const void* sender = nullptr) {
    token_ = foundation::NotificationCenter::defaultCenter().addObserver(
        kTLReachabilityChangedNotification, sender, nullptr, [this](const foundation::Notification&) { ++count; });
  }
  ~NotificationCounter() { foundation::NotificationCenter::defaultCenter().removeObserver(token_); }
  std::atomic<int> count{0};

 private:
  foundation::NotificationCenter::ObserverToken token_;
};

TEST(TL_ReachabilityTest, FlagsToStatus) {
  const struct {
    Flags flags;
    TLNetworkStatus status;
  } cases[] = {
      {kReachable, TLNetworkStatusReachable},
      {kReachable | kConnectionRequired, TLNetworkStatusNotReachable},
      {kReachable | kConnectionRequired | kConnectionOnTraffic, TLNetworkStatusReachable},
      {kReachable | kConnectionRequired | kConnectionOnDemand, TLNetworkStatusReachable},
      {kReachable | kConnectionRequired | kConnectionOnDemand | kInterventionRequired, TLNetworkStatusNotReachable},
      {0, TLNetworkStatusNotReachable},
  };
  for (const auto& c : cases) EXPECT_EQ(TL_Reachability::networkStatusForFlags(c.flags), c.status) << c.flags;
}

TEST(TL_ReachabilityTest, ReadsTheInternetsStatusAndPostsOnStartAndOnEveryChange) {
  test::ScriptedNetwork network;
  auto watcher = TL_Reachability::reachabilityForInternetConnection();
  ASSERT_TRUE(watcher);
  EXPECT_EQ(watcher->currentReachabilityStatus(), TLNetworkStatusReachable);
  EXPECT_FALSE(watcher->connectionRequired());

  NotificationCounter heard(watcher.get());
  watcher->startNotifier();
  EXPECT_EQ(heard.count, 1) << "the start posts at once on the main thread, with nothing changed";

  network.setReachable(false);
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return heard.count == 2; }));
  EXPECT_EQ(watcher->currentReachabilityStatus(), TLNetworkStatusNotReachable);

  watcher->stopNotifier();
  network.setReachable(true);
  test::pumpFor(0.1);
  EXPECT_EQ(heard.count, 2) << "no notification once stopped";
  EXPECT_EQ(watcher->currentReachabilityStatus(), TLNetworkStatusReachable);
}

TEST(TL_ReachabilityTest, StartingOffTheMainThreadRegistersLaterOnIt) {
  test::ScriptedNetwork network;
  auto watcher = TL_Reachability::reachabilityForInternetConnection();
  NotificationCounter heard(watcher.get());
  std::thread([&] { watcher->startNotifier(); }).join();
  EXPECT_EQ(heard.count, 0);
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return heard.count == 1; }));
}

TEST(TL_ReachabilityTest, AWatcherDestroyedOffTheMainThreadHearsNothingAfterwards) {
  test::ScriptedNetwork network;
  std::mutex mutex;
  std::set<const void*> destroyed;  // addresses of watchers whose destruction has returned
  std::atomic<int> late{0};
  const auto token = foundation::NotificationCenter::defaultCenter().addObserver(
      kTLReachabilityChangedNotification, nullptr, nullptr, [&](const foundation::Notification& notification) {
        std::lock_guard lock(mutex);
        if (destroyed.contains(notification.sender())) ++late;
      });
  for (int round = 0; round < 200; ++round) {
    auto watcher = TL_Reachability::reachabilityForInternetConnection();
    const void* address = watcher.get();
    {
      std::lock_guard lock(mutex);
      destroyed.erase(address);  // a new watcher may live where an old one did
    }
    watcher->startNotifier();
    std::atomic<bool> done{false};
    std::thread killer([&, w = std::move(watcher)]() mutable {
      w.reset();
      std::lock_guard lock(mutex);
      destroyed.insert(address);
      done = true;
    });
    // Flip the network while the watcher dies, and deliver whatever callbacks that queues.
    for (int flip = 0; !done && flip < 1000; ++flip) {
      network.setReachable(flip % 2 == 0);
      foundation::RunLoop::main().processPending();
    }
    killer.join();
    foundation::RunLoop::main().processPending();
  }
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(late, 0);
}

}  // namespace
