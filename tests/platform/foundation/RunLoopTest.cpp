#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"

using foundation::Date;
using foundation::RunLoop;

namespace {

TEST(RunLoopTest, DrainsTheMainQueueInOrderWhileRunning) {
  std::vector<int> order;  // touched on the main thread only
  std::atomic<bool> onMain{true};
  std::thread producer([&] {
    for (int i = 0; i < 50; ++i) {
      dispatch::mainQueue()->async([&, i] {
        if (!dispatch::Queue::isMainThread()) onMain = false;
        order.push_back(i);
      });
    }
  });
  producer.join();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return order.size() == 50; }, 5));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(onMain);
}

TEST(RunLoopTest, WakesForBlocksPostedWhileItSleeps) {
  bool ran = false;
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dispatch::mainQueue()->async([&] {
      ran = true;
      RunLoop::main().stop();
    });
  });
  // Without the wake the loop would sleep the full minute before draining.
  const Date start = Date::now();
  EXPECT_TRUE(RunLoop::main().runUntil(Date::now().addingTimeInterval(60)));
  later.join();
  EXPECT_TRUE(ran);
  EXPECT_LT(Date::now().timeIntervalSince(start), 30);
}

TEST(RunLoopTest, RunUntilADateReturnsWhenTheDatePasses) {
  const Date until = Date::now().addingTimeInterval(0.03);
  EXPECT_TRUE(RunLoop::main().runUntil(until));
  EXPECT_GE(Date::now(), until);
}

TEST(RunLoopTest, ConditionRunReportsTimeoutAndStopOutsideARunIsIgnored) {
  RunLoop::main().stop();  // no run in progress: must not end the next one early
  EXPECT_FALSE(foundation::pumpMainUntil([] { return false; }, 0.03));
  std::atomic<bool> flag{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    flag = true;  // no wake: the loop must notice by itself
  });
  EXPECT_TRUE(foundation::pumpMainUntil([&] { return flag.load(); }, 5));
  setter.join();
}

TEST(RunLoopTest, OffTheMainThreadNothingRuns) {
  bool blockRan = false;
  dispatch::mainQueue()->async([&] { blockRan = true; });
  std::thread([&] {
    EXPECT_FALSE(RunLoop::main().processPending());
    EXPECT_FALSE(RunLoop::main().runUntil(Date::now().addingTimeInterval(0.01)));
  }).join();
  EXPECT_FALSE(blockRan);
  EXPECT_TRUE(RunLoop::main().processPending());
  EXPECT_TRUE(blockRan);
}

TEST(RunLoopTest, WakeHandlerHearsOfNewWork) {
  std::atomic<int> wakes{0};
  RunLoop::main().setWakeHandler([&] { ++wakes; });
  dispatch::mainQueue()->async([] {});
  auto timer = foundation::Timer::create(10, false, [](foundation::Timer&) {});
  RunLoop::main().addTimer(timer);
  RunLoop::main().setWakeHandler({});
  EXPECT_GE(wakes, 2);
  timer->invalidate();
  RunLoop::main().processPending();
}

}  // namespace
