#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Group.h"
#include "platform/dispatch/Once.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"

using namespace std::chrono_literals;

namespace {

TEST(GroupTest, NotifiesOnceAfterEveryMemberHasLeft) {
  auto group = dispatch::Group::create();
  auto queue = dispatch::Queue::createSerial("test.group");
  std::atomic<int> finished{0};
  std::atomic<int> notifications{0};
  std::atomic<int> finishedAtNotify{-1};
  dispatch::Semaphore notified;
  group->enter();  // held until all work is queued, so the notify cannot fire early
  for (int i = 0; i < 20; ++i) {
    dispatch::Queue::global()->async([&] {
      std::this_thread::sleep_for(1ms);
      ++finished;
    }, group);
  }
  group->notify(queue, [&] {
    finishedAtNotify = finished.load();
    ++notifications;
    notified.signal();
  });
  group->leave();
  ASSERT_TRUE(notified.wait(5s));
  EXPECT_EQ(finishedAtNotify, 20);
  queue->sync([] {});
  EXPECT_EQ(notifications, 1);
}

TEST(GroupTest, NotifyOnAnEmptyGroupRunsAtOnceAndGroupsAreReusable) {
  auto group = dispatch::Group::create();
  auto queue = dispatch::Queue::createSerial("test.group.empty");
  std::atomic<int> runs{0};
  group->notify(queue, [&] { ++runs; });
  queue->sync([] {});
  EXPECT_EQ(runs, 1);
  group->enter();
  group->notify(queue, [&] { ++runs; });
  queue->sync([] {});
  EXPECT_EQ(runs, 1);
  group->leave();
  group->leave();  // unmatched leave is ignored, not an underflow
  EXPECT_TRUE(group->wait(0s));
  queue->sync([] {});
  EXPECT_EQ(runs, 2);
}

TEST(GroupTest, WaitTimesOutWhileWorkIsOutstanding) {
  auto group = dispatch::Group::create();
  group->enter();
  EXPECT_FALSE(group->wait(20ms));
  std::thread leaver([&] {
    std::this_thread::sleep_for(10ms);
    group->leave();
  });
  EXPECT_TRUE(group->wait(5s));
  leaver.join();
}

TEST(SemaphoreTest, CountsSignalsAndTimesOut) {
  dispatch::Semaphore semaphore(2);
  EXPECT_TRUE(semaphore.wait(0s));
  EXPECT_TRUE(semaphore.wait(0s));
  EXPECT_FALSE(semaphore.wait(10ms));
  std::thread signaller([&] {
    std::this_thread::sleep_for(10ms);
    semaphore.signal();
  });
  EXPECT_TRUE(semaphore.wait());
  signaller.join();
  EXPECT_FALSE(dispatch::Semaphore(-3).wait(0s)) << "negative start counts as zero";
}

TEST(OnceTest, RunsOnceAcrossRacingThreadsAndOthersWaitForIt) {
  dispatch::Once once;
  std::atomic<int> runs{0};
  std::atomic<bool> sawUnfinished{false};
  std::atomic<bool> finished{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      once([&] {
        ++runs;
        std::this_thread::sleep_for(10ms);
        finished = true;
      });
      if (!finished) sawUnfinished = true;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(sawUnfinished);
}

}  // namespace
