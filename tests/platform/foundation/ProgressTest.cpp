#include "platform/foundation/Progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

namespace {

using foundation::Progress;
using foundation::Value;

TEST(ProgressTest, FractionFollowsTheCounts) {
  struct Case {
    std::int64_t total, completed;
    double fraction;
    bool indeterminate, finished;
  };
  const Case cases[] = {
      {100, 25, 0.25, false, false}, {100, 100, 1.0, false, true}, {100, 150, 1.5, false, true},
      {0, 0, 0.0, false, false},     {0, 5, 0.0, false, false},     {-1, 40, 0.0, true, false},
  };
  for (const Case& c : cases) {
    auto progress = Progress::create(c.total);
    progress->setCompletedUnitCount(c.completed);
    EXPECT_DOUBLE_EQ(progress->fractionCompleted(), c.fraction) << c.total << "/" << c.completed;
    EXPECT_EQ(progress->isIndeterminate(), c.indeterminate) << c.total << "/" << c.completed;
    EXPECT_EQ(progress->isFinished(), c.finished) << c.total << "/" << c.completed;
  }
}

TEST(ProgressTest, ChangesAreObservedInOrderFromTwoThreadsWhileAThirdUpdates) {
  constexpr int kSteps = 2000;
  auto progress = Progress::create(kSteps);
  struct Seen {
    std::vector<double> fractions;
    bool chained = true;  // every old value is the previous new one
  };
  Seen seen[2];
  std::atomic<bool> outOfRange{false};
  std::atomic<bool> done{false};
  std::latch registered(3);

  auto observe = [&](Seen& mine) {
    progress->addObserver("fractionCompleted", [&mine](const Value& oldValue, const Value& newValue) {
      const double previous = mine.fractions.empty() ? 0.0 : mine.fractions.back();
      if (oldValue.doubleValue() != previous) mine.chained = false;
      mine.fractions.push_back(newValue.doubleValue());
    });
    registered.arrive_and_wait();
    while (!done) {
      const double fraction = progress->fractionCompleted();
      if (fraction < 0.0 || fraction > 1.0) outOfRange = true;
    }
  };
  std::thread first(observe, std::ref(seen[0]));
  std::thread second(observe, std::ref(seen[1]));
  std::thread updater([&] {
    registered.arrive_and_wait();
    for (int i = 1; i <= kSteps; ++i) progress->setCompletedUnitCount(i);
    progress->setCompletedUnitCount(kSteps);  // no change: no announcement
    done = true;
  });
  updater.join();
  first.join();
  second.join();

  EXPECT_FALSE(outOfRange);
  for (const Seen& mine : seen) {
    ASSERT_EQ(mine.fractions.size(), static_cast<std::size_t>(kSteps));
    EXPECT_TRUE(mine.chained);
    EXPECT_TRUE(std::is_sorted(mine.fractions.begin(), mine.fractions.end()));
    EXPECT_DOUBLE_EQ(mine.fractions.back(), 1.0);
  }
}

TEST(ProgressTest, CancelPauseAndResumeRunTheirHandlersOnce) {
  auto progress = Progress::create(10);
  int cancels = 0, pauses = 0, resumes = 0;
  std::vector<bool> pausedSeen;
  progress->setPausable(true);
  progress->setCancellationHandler([&] { ++cancels; });
  progress->setPausingHandler([&] { ++pauses; });
  progress->setResumingHandler([&] { ++resumes; });
  progress->addObserver("paused", [&](const Value&, const Value& now) { pausedSeen.push_back(now.boolValue()); });

  progress->resume();  // not paused: nothing
  progress->pause();
  progress->pause();
  EXPECT_TRUE(progress->isPaused());
  progress->resume();
  EXPECT_FALSE(progress->isPaused());
  EXPECT_EQ(pauses, 1);
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(pausedSeen, (std::vector<bool>{true, false}));

  progress->cancel();
  progress->cancel();
  progress->pause();  // a cancelled progress no longer pauses
  EXPECT_TRUE(progress->isCancelled());
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(pauses, 1);

  int late = 0;
  progress->setCancellationHandler([&] { ++late; });  // set after cancelling: runs at once
  EXPECT_EQ(late, 1);
}

TEST(ProgressTest, AnObserverMayChangeTheProgressItObserves) {
  auto progress = Progress::create(0);
  progress->addObserver("totalUnitCount", [&](const Value&, const Value& total) {
    if (total.intValue() > 0) progress->setCompletedUnitCount(total.intValue() / 2);
  });
  progress->setTotalUnitCount(8);
  EXPECT_EQ(progress->completedUnitCount(), 4);
  EXPECT_DOUBLE_EQ(progress->fractionCompleted(), 0.5);
}

}  // namespace
