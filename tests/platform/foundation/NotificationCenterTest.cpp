#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/NotificationCenter.h"

using foundation::Notification;
using foundation::NotificationCenter;
using namespace std::chrono_literals;

namespace {

struct Sender : foundation::Object {};

TEST(NotificationCenterTest, DeliversByNameAndSenderFilterInRegistrationOrder) {
  NotificationCenter center;
  auto a = std::make_shared<Sender>();
  auto b = std::make_shared<Sender>();
  std::vector<std::string> seen;
  center.addObserver("N", nullptr, nullptr, [&](const Notification&) { seen.push_back("any-sender"); });
  center.addObserver("N", a.get(), nullptr, [&](const Notification& n) {
    EXPECT_EQ(n.object(), a);
    EXPECT_EQ(n.userInfo().get("k"), foundation::Value(1));
    seen.push_back("from-a");
  });
  center.addObserver("", nullptr, nullptr, [&](const Notification& n) { seen.push_back("all:" + n.name()); });

  struct Case {
    std::string name;
    std::shared_ptr<Sender> object;
    std::vector<std::string> expected;
  } cases[] = {
      {"N", a, {"any-sender", "from-a", "all:N"}},
      {"N", b, {"any-sender", "all:N"}},
      {"N", nullptr, {"any-sender", "all:N"}},
      {"Other", a, {"all:Other"}},
  };
  for (const auto& c : cases) {
    seen.clear();
    center.post(c.name, c.object, foundation::Dictionary{{"k", 1}});
    EXPECT_EQ(seen, c.expected) << c.name;
  }
}

TEST(NotificationCenterTest, BareIdentitySendersFilterLikeObjects) {
  NotificationCenter center;
  int context = 0, otherContext = 0;
  int hits = 0;
  center.addObserver("Saved", &context, nullptr, [&](const Notification& n) {
    EXPECT_EQ(n.sender(), &context);
    EXPECT_EQ(n.object(), nullptr);
    ++hits;
  });
  center.post("Saved", static_cast<const void*>(&context));
  center.post("Saved", static_cast<const void*>(&otherContext));
  EXPECT_EQ(hits, 1);
}

TEST(NotificationCenterTest, QueuedObserversRunAsynchronouslyOnTheirQueue) {
  NotificationCenter center;
  auto queue = dispatch::Queue::createSerial("test.notes");
  dispatch::Semaphore gate, delivered;
  std::atomic<bool> onQueue{false};
  queue->async([&] { gate.wait(); });  // keeps the queue busy: delivery cannot be synchronous
  center.addObserver("N", nullptr, queue, [&](const Notification& n) {
    onQueue = queue->isCurrent() && n.userInfo().get("v") == foundation::Value("x");
    delivered.signal();
  });
  center.post("N", nullptr, foundation::Dictionary{{"v", "x"}});
  gate.signal();
  ASSERT_TRUE(delivered.wait(5s));
  EXPECT_TRUE(onQueue);
}

TEST(NotificationCenterTest, RemovalInsideACallbackAndOfOthersDuringAPost) {
  NotificationCenter center;
  int first = 0, second = 0;
  NotificationCenter::ObserverToken secondToken = 0;
  NotificationCenter::ObserverToken firstToken = center.addObserver("N", nullptr, nullptr, [&](const Notification&) {
    ++first;
    center.removeObserver(firstToken);   // itself
    center.removeObserver(secondToken);  // one that is due later in this post
  });
  secondToken = center.addObserver("N", nullptr, nullptr, [&](const Notification&) { ++second; });
  center.post("N");
  center.post("N");
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  center.removeObserver(firstToken);  // removing twice is harmless
  center.removeObserver(0);
}

TEST(NotificationCenterTest, NoCallbackRunsAfterRemoveObserverReturnsOnAnotherThread) {
  NotificationCenter center;
  std::atomic<int> inside{0};
  std::atomic<bool> removed{false};
  std::atomic<bool> ranAfterRemoval{false};
  auto token = center.addObserver("N", nullptr, nullptr, [&](const Notification&) {
    ++inside;
    if (removed) ranAfterRemoval = true;
    std::this_thread::sleep_for(1ms);
    --inside;
  });
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i) {
    posters.emplace_back([&] {
      while (!stop) center.post("N");
    });
  }
  while (inside == 0) std::this_thread::yield();
  center.removeObserver(token);
  EXPECT_EQ(inside, 0) << "a callback was still running";
  removed = true;
  std::this_thread::sleep_for(10ms);
  stop = true;
  for (auto& t : posters) t.join();
  EXPECT_FALSE(ranAfterRemoval);
}

TEST(NotificationCenterTest, QueuedDeliveryIsDroppedOnceRemoved) {
  NotificationCenter center;
  auto queue = dispatch::Queue::createSerial("test.notes.removed");
  dispatch::Semaphore gate;
  std::atomic<int> runs{0};
  queue->async([&] { gate.wait(); });
  auto token = center.addObserver("N", nullptr, queue, [&](const Notification&) { ++runs; });
  center.post("N");
  center.removeObserver(token);
  gate.signal();
  queue->sync([] {});
  EXPECT_EQ(runs, 0);
}

TEST(NotificationCenterTest, DefaultCenterIsOneObject) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
