#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"

using foundation::Date;
using foundation::RunLoop;
using foundation::Timer;

namespace {

TEST(TimerTest, OneShotFiresOnceOnTheMainThreadAfterItsInterval) {
  int fired = 0;
  bool onMain = false;
  const Date start = Date::now();
  Date firedAt;
  auto timer = Timer::scheduledTimer(0.02, false, [&](Timer&) {
    ++fired;
    onMain = dispatch::Queue::isMainThread();
    firedAt = Date::now();
  });
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return fired > 0; }, 5));
  RunLoop::main().runUntil(Date::now().addingTimeInterval(0.05));
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(onMain);
  EXPECT_GE(firedAt.timeIntervalSince(start), 0.02);
  EXPECT_FALSE(timer->isValid());
}

TEST(TimerTest, RepeatingTimerFiresUntilInvalidatedFromItsBlock) {
  int fired = 0;
  auto timer = Timer::scheduledTimer(0.005, true, [&](Timer& t) {
    if (++fired == 3) t.invalidate();
  });
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return fired >= 3; }, 5));
  RunLoop::main().runUntil(Date::now().addingTimeInterval(0.03));
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(RunLoop::main().nextTimerDate(), Date::distantFuture());
}

TEST(TimerTest, RepeatingTimerSkipsFiringsMissedWhileTheLoopWasBusy) {
  int fired = 0;
  auto timer = Timer::scheduledTimer(0.01, true, [&](Timer&) { ++fired; });
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the loop is "busy"
  RunLoop::main().processPending();
  EXPECT_EQ(fired, 1) << "missed firings are skipped, not bunched";
  EXPECT_GT(timer->fireDate(), Date::now().addingTimeInterval(-0.001));
  timer->invalidate();
}

TEST(TimerTest, InvalidateFromAnotherThreadStopsFirings) {
  std::atomic<int> fired{0};
  auto timer = Timer::scheduledTimer(0.002, true, [&](Timer&) { ++fired; });
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return fired > 0; }, 5));
  std::thread([&] { timer->invalidate(); }).join();
  const int atInvalidate = fired;
  RunLoop::main().runUntil(Date::now().addingTimeInterval(0.03));
  EXPECT_EQ(fired, atInvalidate);
  EXPECT_FALSE(timer->isValid());
}

TEST(TimerTest, FireRunsNowAndInvalidatesAOneShot) {
  int fired = 0;
  auto timer = Timer::create(100, false, [&](Timer&) { ++fired; });
  EXPECT_EQ(timer->timeInterval(), 100);
  timer->fire();
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer->isValid());
  timer->fire();
  RunLoop::main().addTimer(timer);  // invalid timers are not scheduled
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(RunLoop::main().nextTimerDate(), Date::distantFuture());
}

TEST(TimerTest, SetFireDateMovesTheNextFiring) {
  int fired = 0;
  auto timer = Timer::scheduledTimer(3600, false, [&](Timer&) { ++fired; });
  timer->setFireDate(Date::now().addingTimeInterval(0.01));
  EXPECT_TRUE(foundation::pumpMainUntil([&] { return fired == 1; }, 5));
}

TEST(TimerTest, NonPositiveIntervalsAreRaisedToTheFloor) {
  EXPECT_GT(Timer::create(0, false, [](Timer&) {})->timeInterval(), 0);
  EXPECT_GT(Timer::create(-5, true, [](Timer&) {})->timeInterval(), 0);
}

}  // namespace
