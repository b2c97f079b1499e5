#include <gtest/gtest.h>

#include <QTest>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "platform/appkit/QtMainLoopDriver.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

class MainLoopDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApplication(); }
};

TEST_F(MainLoopDriverTest, BlocksPostedFromFourThreadsRunOnTheMainThreadInOrderPerThread) {
  appkit::QtMainLoopDriver driver;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  struct Run {
    int thread;
    int sequence;
    bool onMainThread;
  };
  std::vector<Run> runs;  // touched only by the blocks, on the main thread
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([t, &runs] {
      for (int i = 0; i < kPerThread; ++i) {
        dispatch::mainQueue()->async([t, i, &runs] { runs.push_back({t, i, dispatch::Queue::isMainThread()}); });
      }
    });
  }
  for (auto& poster : posters) poster.join();

  // Only Qt's loop runs here; the headless run loop is never pumped.
  ASSERT_TRUE(QTest::qWaitFor([&] { return runs.size() == kThreads * kPerThread; }, 5000));
  std::map<int, int> next;
  for (const Run& run : runs) {
    EXPECT_TRUE(run.onMainThread);
    EXPECT_EQ(run.sequence, next[run.thread]) << "thread " << run.thread;
    next[run.thread] = run.sequence + 1;
  }
}

TEST_F(MainLoopDriverTest, WorkQueuedBeforeInstallationRunsOnceInstalledAndNotAfterRemoval) {
  int ran = 0;
  dispatch::mainQueue()->async([&] { ++ran; });
  {
    appkit::QtMainLoopDriver driver;
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran == 1; }, 2000));
  }
  dispatch::mainQueue()->async([&] { ++ran; });
  QTest::qWait(100);
  EXPECT_EQ(ran, 1);
  // The block stays queued for the next loop rather than being lost.
  foundation::pumpMainUntil([&] { return ran == 2; }, 2.0);
  EXPECT_EQ(ran, 2);
}

TEST_F(MainLoopDriverTest, RepeatingTimerAddedFromAnotherThreadFiresUnderQtUntilInvalidated) {
  appkit::QtMainLoopDriver driver;
  std::atomic<int> firings{0};
  std::atomic<bool> onMainThread{true};
  auto timer = foundation::Timer::create(0.03, true, [&](foundation::Timer&) {
    if (!dispatch::Queue::isMainThread()) onMainThread = false;
    ++firings;
  });
  std::thread([&] { foundation::RunLoop::main().addTimer(timer); }).join();

  ASSERT_TRUE(QTest::qWaitFor([&] { return firings >= 3; }, 5000));
  timer->invalidate();
  const int atInvalidation = firings;
  QTest::qWait(200);
  EXPECT_EQ(firings, atInvalidation);
  EXPECT_TRUE(onMainThread);
}

TEST_F(MainLoopDriverTest, TimerWhoseFireDateIsNowFiresAtOnceThenWaitsItsInterval) {
  // The shape of the application's refresh timer: due at once, then every 1800 seconds.
  appkit::QtMainLoopDriver driver;
  int firings = 0;
  auto timer = foundation::Timer::create(1800.0, true, [&](foundation::Timer&) { ++firings; });
  timer->setFireDate(foundation::Date::now());
  foundation::RunLoop::main().addTimer(timer);

  ASSERT_TRUE(QTest::qWaitFor([&] { return firings == 1; }, 2000));
  QTest::qWait(100);
  EXPECT_EQ(firings, 1);
  EXPECT_GT(timer->fireDate().timeIntervalSinceNow(), 1790.0);
  timer->invalidate();
}

}  // namespace
