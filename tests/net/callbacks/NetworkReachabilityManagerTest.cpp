#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <type_traits>
#include <vector>

#include "net/callbacks/RLNetworkReachabilityManager.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/reachability/ScriptedFlagSource.h"

using namespace reachability;

namespace {

const std::string kHost = "relay.test";

// A scripted source that can hold back the next read made off the main thread (the manager's
// first read) with the answer it had when the read began, as a read on a slow thread would.
class HeldFlagSource : public ScriptedFlagSource {
 public:
  std::optional<Flags> flagsForHostName(const std::string& hostName) override {
    auto answer = ScriptedFlagSource::flagsForHostName(hostName);
    if (dispatch::Queue::isMainThread()) return answer;
    std::unique_lock lock(mutex_);
    if (!holdNext_) return answer;
    holdNext_ = false;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
    return answer;
  }
  void holdNextBackgroundRead() {
    std::lock_guard lock(mutex_);
    holdNext_ = true;
  }
  bool waitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return held_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holdNext_ = false;
  bool held_ = false;
};

class RLNetworkReachabilityManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    setFlagSource(source);
    token = foundation::NotificationCenter::defaultCenter().addObserver(
        RLNetworkingReachabilityDidChangeNotification, nullptr, nullptr, [this](const foundation::Notification& note) {
          EXPECT_EQ(note.object(), nullptr);
          posted.push_back(note.userInfo().get(RLNetworkingReachabilityNotificationStatusItem).intValue());
        });
  }
  void TearDown() override {
    foundation::NotificationCenter::defaultCenter().removeObserver(token);
    setFlagSource(nullptr);
  }

  // A manager for kHost whose status block records what it hears, and checks it runs on main.
  std::shared_ptr<RLNetworkReachabilityManager> recordingManager() {
    auto manager = RLNetworkReachabilityManager::managerForDomain(kHost);
    manager->setReachabilityStatusChangeBlock([this, raw = manager.get()](RLNetworkReachabilityStatus status) {
      EXPECT_TRUE(dispatch::Queue::isMainThread());
      EXPECT_EQ(raw->networkReachabilityStatus(), status) << "the status is set before the block runs";
      heard.push_back(status);
    });
    return manager;
  }

  bool waitForReports(std::size_t count) {
    return foundation::pumpMainUntil([&] { return heard.size() >= count && posted.size() >= count; }, 5);
  }

  std::shared_ptr<HeldFlagSource> source = std::make_shared<HeldFlagSource>();
  std::vector<long> heard;
  std::vector<long> posted;
  foundation::NotificationCenter::ObserverToken token = 0;
};

TEST_F(RLNetworkReachabilityManagerTest, StatusTableFromScriptedFlags) {
  source->setFlags(kHost, kReachable);
  auto manager = recordingManager();
  manager->startMonitoring();
  ASSERT_TRUE(waitForReports(1));
  EXPECT_EQ(heard.back(), RLNetworkReachabilityStatusReachableViaWiFi) << "the first read reports the current state";

  struct Case {
    Flags flags;
    RLNetworkReachabilityStatus status;
  } cases[] = {
      {0x6, RLNetworkReachabilityStatusNotReachable},    // reachable, connection required
      {0xE, RLNetworkReachabilityStatusReachableViaWiFi},  // ... made on traffic
      {0x1E, RLNetworkReachabilityStatusNotReachable},   // ... but the user must intervene
      {0x22, RLNetworkReachabilityStatusReachableViaWiFi},  // reachable, on demand
      {0x26, RLNetworkReachabilityStatusReachableViaWiFi},  // connection required, made on demand
      {0x0, RLNetworkReachabilityStatusNotReachable},
      {0x2, RLNetworkReachabilityStatusReachableViaWiFi},
      {0x2C, RLNetworkReachabilityStatusNotReachable},  // everything but the reachable bit
      {kReachable | kIsWWAN, RLNetworkReachabilityStatusReachableViaWiFi},  // WWAN is never reported here
  };
  for (const auto& c : cases) {
    const std::size_t before = heard.size();
    source->setFlags(kHost, c.flags);
    ASSERT_TRUE(waitForReports(before + 1)) << c.flags;
    EXPECT_EQ(heard.back(), c.status) << c.flags;
    EXPECT_EQ(posted.back(), c.status) << c.flags;
    EXPECT_EQ(manager->networkReachabilityStatus(), c.status) << c.flags;
    EXPECT_EQ(manager->isReachable(), c.status == RLNetworkReachabilityStatusReachableViaWiFi) << c.flags;
    EXPECT_EQ(RLNetworkReachabilityManager::statusForFlags(c.flags), c.status) << c.flags;
  }
  EXPECT_FALSE(manager->isReachableViaWWAN());

  // Stopped: no more reports, the status stays.
  manager->stopMonitoring();
  const std::size_t reports = heard.size();
  source->setFlags(kHost, 0);
  foundation::pumpMainUntil([] { return false; }, 0.2);
  EXPECT_EQ(heard.size(), reports);
  EXPECT_EQ(manager->networkReachabilityStatus(), RLNetworkReachabilityStatusReachableViaWiFi);
}

TEST_F(RLNetworkReachabilityManagerTest, FreshManagersAndTexts) {
  static_assert(!std::is_default_constructible_v<RLNetworkReachabilityManager>, "a manager needs its target");
  const auto fresh = RLNetworkReachabilityManager::manager();
  ASSERT_TRUE(fresh->networkReachability());
  EXPECT_EQ(fresh->networkReachabilityStatus(), RLNetworkReachabilityStatusUnknown);
  EXPECT_FALSE(fresh->isReachable());
  EXPECT_EQ(fresh->localizedNetworkReachabilityStatusString(), "Unknown");
  EXPECT_EQ(RLNetworkReachabilityManager::sharedManager(), RLNetworkReachabilityManager::sharedManager());
  EXPECT_NE(RLNetworkReachabilityManager::sharedManager(), fresh);

  struct Case {
    long status;
    const char* text;
  } cases[] = {{-1, "Unknown"}, {0, "Not Reachable"}, {1, "Reachable via WWAN"}, {2, "Reachable via WiFi"},
               {7, "Unknown"}, {-2, "Unknown"}};
  for (const auto& c : cases) EXPECT_EQ(RLStringFromNetworkReachabilityStatus(c.status), c.text);

  EXPECT_EQ(RLNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey("reachableViaWiFi"),
            std::vector<std::string>{"networkReachabilityStatus"});
  EXPECT_TRUE(RLNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey("other").empty());

  // Without a target nothing is ever reported.
  auto untargeted = RLNetworkReachabilityManager::managerForDomain("");
  EXPECT_FALSE(untargeted->networkReachability());
  untargeted->setReachabilityStatusChangeBlock([this](RLNetworkReachabilityStatus status) { heard.push_back(status); });
  untargeted->startMonitoring();
  foundation::pumpMainUntil([] { return false; }, 0.2);
  EXPECT_TRUE(heard.empty());
  EXPECT_EQ(untargeted->networkReachabilityStatus(), RLNetworkReachabilityStatusUnknown);
}

TEST_F(RLNetworkReachabilityManagerTest, ObserversAndRestarts) {
  source->setFlags(kHost, 0);
  auto manager = recordingManager();
  std::vector<std::string> changes;
  for (const char* key : {"networkReachabilityStatus", "reachable"}) {
    manager->observing().addObserver(key, [&changes, key](const foundation::Value& before, const foundation::Value& after) {
      changes.push_back(std::string(key) + " " + before.description() + "->" + after.description());
    });
  }
  // Starting twice keeps one registration: each change is heard once.
  manager->startMonitoring();
  manager->startMonitoring();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !heard.empty(); }, 5));
  foundation::pumpMainUntil([] { return false; }, 0.1);
  source->setFlags(kHost, kReachable);
  ASSERT_TRUE(waitForReports(heard.size() + 1));
  foundation::pumpMainUntil([] { return false; }, 0.1);
  EXPECT_EQ(heard, (std::vector<long>{0, 2}));
  EXPECT_EQ(posted, heard);
  EXPECT_EQ(changes, (std::vector<std::string>{"networkReachabilityStatus -1->0", "reachable 0->0",
                                               "networkReachabilityStatus 0->2", "reachable 0->1"}));
}

// A first read that lands after a newer callback must not turn the status back.
TEST_F(RLNetworkReachabilityManagerTest, ALateFirstReadNeverOverwritesANewerStatus) {
  source->setFlags(kHost, kReachable);
  auto manager = recordingManager();
  source->holdNextBackgroundRead();
  manager->startMonitoring();
  ASSERT_TRUE(source->waitUntilHeld());  // the first read has its (soon stale) answer

  source->setFlags(kHost, 0);
  ASSERT_TRUE(waitForReports(1));
  EXPECT_EQ(heard, std::vector<long>{RLNetworkReachabilityStatusNotReachable});

  source->release();
  foundation::pumpMainUntil([] { return false; }, 0.3);
  EXPECT_EQ(heard, std::vector<long>{RLNetworkReachabilityStatusNotReachable});
  EXPECT_EQ(manager->networkReachabilityStatus(), RLNetworkReachabilityStatusNotReachable);
  manager->stopMonitoring();
}

TEST_F(RLNetworkReachabilityManagerTest, AReleasedManagerHearsNothingMore) {
  source->setFlags(kHost, kReachable);
  {
    auto manager = recordingManager();
    manager->startMonitoring();
    ASSERT_TRUE(waitForReports(1));
  }
  source->setFlags(kHost, 0);
  foundation::pumpMainUntil([] { return false; }, 0.2);
  EXPECT_EQ(heard.size(), 1u);
  EXPECT_EQ(posted.size(), 1u);
}

}  // namespace
