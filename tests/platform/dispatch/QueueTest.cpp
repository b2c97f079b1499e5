#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Group.h"
#include "platform/dispatch/MainQueueDriver.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"

using namespace std::chrono_literals;

namespace {

// Collects integers from several threads.
struct Recorder {
  std::mutex mutex;
  std::vector<int> values;
  void add(int v) {
    std::lock_guard lock(mutex);
    values.push_back(v);
  }
  std::vector<int> snapshot() {
    std::lock_guard lock(mutex);
    return values;
  }
};

// Waits on the queue for everything queued so far.
void flush(const std::shared_ptr<dispatch::Queue>& queue) { queue->sync([] {}); }

TEST(QueueTest, SerialQueueRunsOneBlockAtATimeInFifoOrderFromManyProducers) {
  auto queue = dispatch::Queue::createSerial("test.serial");
  Recorder order;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  constexpr int kProducers = 4, kPerProducer = 200;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        queue->async([&, value = p * 1000 + i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          order.add(value);
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& t : producers) t.join();
  flush(queue);
  auto values = order.snapshot();
  ASSERT_EQ(values.size(), static_cast<size_t>(kProducers * kPerProducer));
  EXPECT_FALSE(overlapped);
  // Each producer's blocks keep their relative order.
  std::vector<int> last(kProducers, -1);
  for (int v : values) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(QueueTest, ConcurrentQueueRunsBlocksSideBySide) {
  auto queue = dispatch::Queue::createConcurrent("test.concurrent");
  // Two blocks that each wait for the other can only finish if they run at the same time.
  dispatch::Semaphore a, b;
  auto group = dispatch::Group::create();
  std::atomic<int> done{0};
  queue->async([&] { a.signal(); if (b.wait(5s)) ++done; }, group);
  queue->async([&] { b.signal(); if (a.wait(5s)) ++done; }, group);
  ASSERT_TRUE(group->wait(10s));
  EXPECT_EQ(done, 2);
}

TEST(QueueTest, BarrierWaitsForEarlierBlocksAndHoldsBackLaterOnes) {
  auto queue = dispatch::Queue::createConcurrent("test.barrier");
  std::atomic<int> running{0};
  std::atomic<int> before{0};
  std::atomic<bool> barrierSawOthers{false};
  std::atomic<bool> laterRanEarly{false};
  std::atomic<bool> barrierDone{false};
  for (int i = 0; i < 8; ++i) {
    queue->async([&] {
      ++running;
      std::this_thread::sleep_for(5ms);
      ++before;
      --running;
    });
  }
  queue->asyncBarrier([&] {
    if (running != 0 || before != 8) barrierSawOthers = true;
    std::this_thread::sleep_for(10ms);
    barrierDone = true;
  });
  for (int i = 0; i < 8; ++i) {
    queue->async([&] { if (!barrierDone) laterRanEarly = true; });
  }
  queue->syncBarrier([] {});
  EXPECT_FALSE(barrierSawOthers);
  EXPECT_FALSE(laterRanEarly);
}

TEST(QueueTest, SyncRunsAfterEarlierBlocksAndIsReentrant) {
  auto a = dispatch::Queue::createSerial("test.a");
  auto b = dispatch::Queue::createSerial("test.b");
  Recorder order;
  a->async([&] { std::this_thread::sleep_for(10ms); order.add(1); });
  a->sync([&] {
    order.add(2);
    EXPECT_TRUE(a->isCurrent());
    // Nested: a -> b -> a must not deadlock, and the innermost queue is current.
    b->sync([&] {
      EXPECT_EQ(dispatch::Queue::current(), b);
      EXPECT_TRUE(a->isCurrent());
      a->sync([&] { order.add(3); });
    });
    a->sync([&] { order.add(4); });
  });
  EXPECT_EQ(order.snapshot(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_FALSE(a->isCurrent());
  EXPECT_EQ(dispatch::Queue::current(), nullptr);
}

TEST(QueueTest, SyncFromManyThreadsIsExclusiveOnSerialQueue) {
  auto queue = dispatch::Queue::createSerial("test.sync");
  int counter = 0;  // unguarded: the queue is the only lock
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        if (i % 2) queue->sync([&] { ++counter; });
        else queue->async([&] { ++counter; });
      }
    });
  }
  for (auto& t : threads) t.join();
  flush(queue);
  EXPECT_EQ(counter, 8 * 500);
}

TEST(QueueTest, SuspendHoldsBackBlocksUntilResume) {
  auto queue = dispatch::Queue::createSerial("test.suspend");
  std::atomic<int> ran{0};
  queue->suspend();
  queue->suspend();
  queue->async([&] { ++ran; });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ran, 0);
  queue->resume();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ran, 0) << "suspensions nest";
  queue->resume();
  flush(queue);
  EXPECT_EQ(ran, 1);
  queue->resume();  // extra resume is ignored
  flush(queue);
}

TEST(QueueTest, AsyncAfterRunsNoEarlierThanTheDelay) {
  auto queue = dispatch::Queue::createSerial("test.after");
  dispatch::Semaphore done;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point ranAt;
  queue->asyncAfter(0.05, [&] {
    ranAt = std::chrono::steady_clock::now();
    done.signal();
  });
  ASSERT_TRUE(done.wait(5s));
  EXPECT_GE(ranAt - start, 50ms);
}

TEST(QueueTest, GlobalQueuesAreSharedPerQualityOfService) {
  using dispatch::QualityOfService;
  EXPECT_EQ(dispatch::Queue::global(QualityOfService::Utility), dispatch::Queue::global(QualityOfService::Utility));
  EXPECT_NE(dispatch::Queue::global(QualityOfService::Utility), dispatch::Queue::global(QualityOfService::Background));
  EXPECT_EQ(dispatch::Queue::global(QualityOfService::Unspecified), dispatch::Queue::global());
  EXPECT_EQ(dispatch::Queue::global(dispatch::GlobalPriority::High),
            dispatch::Queue::global(QualityOfService::UserInitiated));
  EXPECT_EQ(dispatch::Queue::global()->kind(), dispatch::Queue::Kind::Concurrent);
}

TEST(QueueTest, LabelsAndKindsAreKept) {
  auto serial = dispatch::Queue::createSerial("org.example.serial", dispatch::QualityOfService::Utility);
  EXPECT_EQ(serial->label(), "org.example.serial");
  EXPECT_EQ(serial->kind(), dispatch::Queue::Kind::Serial);
  EXPECT_EQ(serial->qualityOfService(), dispatch::QualityOfService::Utility);
  EXPECT_EQ(dispatch::mainQueue()->kind(), dispatch::Queue::Kind::Main);
}

TEST(MainQueueTest, DrainsInFifoOrderOnTheMainThreadOnly) {
  ASSERT_TRUE(dispatch::Queue::isMainThread());
  Recorder order;
  std::atomic<bool> offMain{false};
  std::thread producer([&] {
    EXPECT_FALSE(dispatch::Queue::isMainThread());
    EXPECT_EQ(dispatch::drainMainQueue(), 0u) << "only the main thread drains";
    for (int i = 0; i < 100; ++i) {
      dispatch::mainQueue()->async([&, i] {
        if (!dispatch::Queue::isMainThread()) offMain = true;
        order.add(i);
      });
    }
  });
  producer.join();
  EXPECT_EQ(dispatch::drainMainQueue(), 100u);
  auto values = order.snapshot();
  ASSERT_EQ(values.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(values[i], i);
  EXPECT_FALSE(offMain);
}

TEST(MainQueueTest, BlocksQueuedDuringADrainWaitForTheNextOne) {
  int runs = 0;
  bool repost = true;
  std::function<void()> again;
  again = [&] {
    ++runs;
    if (repost) dispatch::mainQueue()->async([&] { again(); });
  };
  dispatch::mainQueue()->async(again);
  EXPECT_EQ(dispatch::drainMainQueue(), 1u);
  EXPECT_EQ(dispatch::drainMainQueue(), 1u);
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(dispatch::mainQueueHasPendingBlocks());
  repost = false;
  EXPECT_EQ(dispatch::drainMainQueue(), 1u);
  EXPECT_FALSE(dispatch::mainQueueHasPendingBlocks());
}

TEST(MainQueueTest, SyncFromAWorkerRunsOnMainAndFromMainRunsInline) {
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    dispatch::mainQueue()->sync([&] { ranOnMain = dispatch::Queue::isMainThread(); });
    returned = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!returned && std::chrono::steady_clock::now() < deadline) {
    dispatch::drainMainQueue();
    std::this_thread::sleep_for(1ms);
  }
  worker.join();
  EXPECT_TRUE(ranOnMain);

  bool inline_ = false;
  dispatch::mainQueue()->sync([&] { inline_ = dispatch::mainQueue()->isCurrent(); });
  EXPECT_TRUE(inline_);
}

// A driver that records its wakes, standing in for an outside event loop.
struct CountingDriver : dispatch::MainQueueDriver {
  std::atomic<int> wakes{0};
  void wake() override { ++wakes; }
};

TEST(MainQueueTest, DriverIsWokenForNewWorkAndOnInstallWhenWorkWaits) {
  dispatch::setMainQueueDriver(nullptr);
  dispatch::mainQueue()->async([] {});
  CountingDriver driver;
  dispatch::setMainQueueDriver(&driver);
  EXPECT_EQ(driver.wakes, 1) << "woken at once for the waiting block";
  std::thread([] { dispatch::mainQueue()->async([] {}); }).join();
  EXPECT_EQ(driver.wakes, 2);
  EXPECT_EQ(dispatch::drainMainQueue(), 2u);
  dispatch::setMainQueueDriver(nullptr);
}

}  // namespace
