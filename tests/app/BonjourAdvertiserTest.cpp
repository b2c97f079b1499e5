#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "app/BonjourAdvertiser.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Host.h"

namespace {

using app::BonjourAdvertiser;

// Waits (bounded) until the fetcher's name is `expected`.
bool waitForHostname(const BonjourAdvertiser& advertiser, const std::optional<std::string>& expected) {
  for (int i = 0; i < 500; ++i) {
    if (advertiser.hostname() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(BonjourAdvertiserTest, FetchesOnceOnItsOwnQueueAndShowsTheEmptyStringMeanwhile) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<std::string> queueLabel;
  std::promise<bool> offMainThread;
  int calls = 0;
  auto advertiser = BonjourAdvertiser::create([&]() -> std::optional<std::string> {
    ++calls;
    queueLabel.set_value(dispatch::Queue::current() ? dispatch::Queue::current()->label() : "");
    offMainThread.set_value(!dispatch::Queue::isMainThread());
    released.wait();
    return "Ada's Workstation";
  });

  // The fetch is held back: the name reads as the empty string, never as nothing.
  EXPECT_EQ(advertiser->hostname(), std::optional<std::string>(""));
  EXPECT_EQ(queueLabel.get_future().get(), "fetchHostQueue");
  EXPECT_TRUE(offMainThread.get_future().get());
  EXPECT_EQ(advertiser->hostname(), std::optional<std::string>(""));

  release.set_value();
  EXPECT_TRUE(waitForHostname(*advertiser, "Ada's Workstation"));
  EXPECT_EQ(calls, 1);
}

TEST(BonjourAdvertiserTest, ANameThatCannotBeDeterminedIsTakenAsItComes) {
  auto advertiser = BonjourAdvertiser::create([] { return std::optional<std::string>(); });
  EXPECT_TRUE(waitForHostname(*advertiser, std::nullopt));

  // A direct fetch runs its completion after the name is set.
  std::optional<std::string> seenInCompletion = "unset";
  advertiser->setHostname("x");
  advertiser->fetchHostname([&] { seenInCompletion = advertiser->hostname(); });
  EXPECT_EQ(seenInCompletion, std::nullopt);
}

TEST(BonjourAdvertiserTest, TheSharedInstanceIsOneAndLearnsTheMachinesName) {
  auto first = BonjourAdvertiser::sharedInstance();
  auto second = BonjourAdvertiser::sharedInstance();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(first->hostname().has_value());
  EXPECT_TRUE(waitForHostname(*first, foundation::Host::localizedName()));
}

}  // namespace
