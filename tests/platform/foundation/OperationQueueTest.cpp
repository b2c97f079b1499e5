#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/OperationQueue.h"

using foundation::OperationQueue;
using namespace std::chrono_literals;

namespace {

TEST(OperationQueueTest, OneSlotSuspendedGateRunsInOrderOnceOpened) {
  // The HTTP client's completion gate: created suspended with one slot, opened on completion.
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 20; ++i) {
    queue->addOperation([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      std::this_thread::sleep_for(100us);
      {
        std::lock_guard lock(mutex);
        order.push_back(i);
      }
      inside.fetch_sub(1);
    });
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(queue->operationCount(), 20u);
  EXPECT_TRUE(order.empty());
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueueTest, UnlimitedQueueRunsOperationsTogether) {
  auto queue = OperationQueue::create();
  EXPECT_EQ(queue->maxConcurrentOperationCount(), OperationQueue::kDefaultMaxConcurrentOperationCount);
  std::atomic<int> arrived{0};
  std::atomic<int> metAll{0};
  for (int i = 0; i < 3; ++i) {
    queue->addOperation([&] {
      ++arrived;
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      while (arrived < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      if (arrived == 3) ++metAll;
    });
  }
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(metAll, 3);
}

TEST(OperationQueueTest, CancelledOperationsFinishWithoutRunning) {
  auto queue = OperationQueue::create();
  queue->setSuspended(true);
  std::atomic<int> ran{0};
  auto kept = queue->addOperation([&] { ++ran; });
  auto cancelledOne = queue->addOperation([&] { ran += 10; });
  cancelledOne->cancel();
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(kept->isFinished());
  EXPECT_TRUE(cancelledOne->isFinished());
  EXPECT_TRUE(cancelledOne->isCancelled());

  queue->setSuspended(true);
  queue->addOperation([&] { ran += 100; });
  queue->cancelAllOperations();
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran, 1);
}

TEST(OperationQueueTest, CurrentQueueAndPropertiesAreReported) {
  auto queue = OperationQueue::create();
  queue->setName("gate");
  queue->setQualityOfService(dispatch::QualityOfService::Utility);
  std::shared_ptr<OperationQueue> seen;
  queue->addOperation([&] { seen = OperationQueue::currentQueue(); });
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(seen, queue);
  EXPECT_EQ(OperationQueue::currentQueue(), nullptr);
  EXPECT_EQ(queue->name(), "gate");
  EXPECT_EQ(queue->qualityOfService(), dispatch::QualityOfService::Utility);
}

TEST(OperationQueueTest, AnOperationIsAddedOnlyOnce) {
  auto first = OperationQueue::create();
  auto second = OperationQueue::create();
  std::atomic<int> ran{0};
  auto operation = std::make_shared<foundation::Operation>([&] { ++ran; });
  first->addOperation(operation);
  second->addOperation(operation);
  first->waitUntilAllOperationsAreFinished();
  second->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran, 1);
}

}  // namespace
