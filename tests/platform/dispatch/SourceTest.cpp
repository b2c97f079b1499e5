#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/MemoryPressureSource.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/TimerSource.h"

using namespace std::chrono_literals;

namespace {

TEST(TimerSourceTest, RepeatsAtItsIntervalOnlyAfterResume) {
  auto queue = dispatch::Queue::createSerial("test.timer");
  auto timer = dispatch::TimerSource::create(queue);
  std::atomic<int> fired{0};
  std::atomic<bool> onQueue{true};
  dispatch::Semaphore thirdFiring;
  timer->setEventHandler([&] {
    if (!queue->isCurrent()) onQueue = false;
    if (++fired == 3) thirdFiring.signal();
  });
  timer->setTimer(5ms, 5ms, 1ms);
  EXPECT_EQ(timer->leeway(), 1ms);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(fired, 0) << "sources start suspended";
  timer->resume();
  ASSERT_TRUE(thirdFiring.wait(5s));
  timer->cancel();
  EXPECT_TRUE(onQueue);
}

TEST(TimerSourceTest, OneShotFiresOnce) {
  auto queue = dispatch::Queue::createSerial("test.timer.once");
  auto timer = dispatch::TimerSource::create(queue);
  std::atomic<int> fired{0};
  timer->setEventHandler([&] { ++fired; });
  timer->setTimer(1ms, dispatch::kForever);
  timer->resume();
  std::this_thread::sleep_for(50ms);
  queue->sync([] {});
  EXPECT_EQ(fired, 1);
}

TEST(TimerSourceTest, NoHandlerRunsOrIsRunningAfterCancelReturns) {
  // A busy handler on a concurrent queue: cancel from another thread must wait for it.
  auto queue = dispatch::Queue::createConcurrent("test.timer.cancel");
  for (int round = 0; round < 20; ++round) {
    auto timer = dispatch::TimerSource::create(queue);
    std::atomic<bool> cancelled{false};
    std::atomic<bool> ranAfterCancel{false};
    std::atomic<int> inside{0};
    dispatch::Semaphore firstFiring;
    timer->setEventHandler([&] {
      ++inside;
      firstFiring.signal();
      std::this_thread::sleep_for(2ms);
      if (cancelled) ranAfterCancel = true;
      --inside;
    });
    std::atomic<bool> cancelHandlerRan{false};
    timer->setCancelHandler([&] { cancelHandlerRan = true; });
    timer->setTimer(0ms, 1ms);
    timer->resume();
    ASSERT_TRUE(firstFiring.wait(5s));
    timer->cancel();
    EXPECT_EQ(inside, 0) << "a handler was still running when cancel returned";
    cancelled = true;
    std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(ranAfterCancel);
    queue->syncBarrier([] {});
    EXPECT_TRUE(cancelHandlerRan);
    EXPECT_TRUE(timer->isCancelled());
  }
}

TEST(TimerSourceTest, CancelFromInsideTheHandlerDoesNotDeadlock) {
  auto queue = dispatch::Queue::createSerial("test.timer.self");
  auto timer = dispatch::TimerSource::create(queue);
  std::atomic<int> fired{0};
  timer->setEventHandler([&] {
    ++fired;
    timer->cancel();
  });
  timer->setTimer(0ms, 1ms);
  timer->resume();
  std::this_thread::sleep_for(30ms);
  queue->sync([] {});
  EXPECT_EQ(fired, 1);
}

TEST(TimerSourceTest, FiringsWhileSuspendedMergeIntoOneDelivery) {
  auto queue = dispatch::Queue::createSerial("test.timer.merge");
  auto timer = dispatch::TimerSource::create(queue);
  std::atomic<int> deliveries{0};
  // The data of the first delivery since `data` was last cleared: the timer goes on firing until
  // it is cancelled, and a later delivery would carry a count of one.
  std::atomic<std::uint64_t> data{0};
  dispatch::Semaphore delivered;
  timer->setEventHandler([&] {
    ++deliveries;
    std::uint64_t none = 0;
    data.compare_exchange_strong(none, timer->data());
    delivered.signal();
  });
  timer->setTimer(2ms, 2ms);
  timer->resume();
  ASSERT_TRUE(delivered.wait(5s));
  timer->suspend();
  queue->sync([] {});
  // Deliveries made before the suspension left signals behind; without draining them the wait
  // below could return for one of those and read its smaller count.
  while (delivered.wait(0ms)) {
  }
  const int before = deliveries;
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(deliveries, before);
  data = 0;
  timer->resume();
  ASSERT_TRUE(delivered.wait(5s));
  timer->cancel();
  EXPECT_GE(data, 2u) << "several firings reported as one";
}

TEST(MemoryPressureSourceTest, PostReachesResumedSourcesWhoseMaskHasTheLevel) {
  using dispatch::MemoryPressureSource;
  auto queue = dispatch::Queue::createSerial("test.pressure");
  auto watching = MemoryPressureSource::create(MemoryPressureSource::kWarning | MemoryPressureSource::kCritical, queue);
  auto criticalOnly = MemoryPressureSource::create(MemoryPressureSource::kCritical, queue);
  auto suspended = MemoryPressureSource::create(MemoryPressureSource::kWarning, queue);
  std::atomic<std::uint64_t> watchingLevel{0};
  std::atomic<int> criticalRuns{0}, suspendedRuns{0};
  watching->setEventHandler([&] { watchingLevel = watching->data(); });
  criticalOnly->setEventHandler([&] { ++criticalRuns; });
  suspended->setEventHandler([&] { ++suspendedRuns; });
  watching->resume();
  criticalOnly->resume();

  MemoryPressureSource::post(MemoryPressureSource::kWarning);
  queue->sync([] {});
  EXPECT_EQ(watchingLevel, MemoryPressureSource::kWarning);
  EXPECT_EQ(criticalRuns, 0);
  EXPECT_EQ(suspendedRuns, 0);

  watching->cancel();
  MemoryPressureSource::post(MemoryPressureSource::kCritical);
  queue->sync([] {});
  EXPECT_EQ(watchingLevel, MemoryPressureSource::kWarning) << "cancelled source got an event";
  EXPECT_EQ(criticalRuns, 1);
  criticalOnly->cancel();
}

}  // namespace
