#include "platform/foundation/WeakHashTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Monitor.h"

namespace {

using foundation::Monitor;
using foundation::WeakHashTable;

struct Listener {
  explicit Listener(std::string name) : name(std::move(name)) {}
  std::string name;
  int calls = 0;
};

TEST(WeakHashTableTest, HoldsEachLiveObjectOnceWithoutKeepingItAlive) {
  WeakHashTable<Listener> table;
  auto a = std::make_shared<Listener>("a");
  auto b = std::make_shared<Listener>("b");
  table.add(a);
  table.add(b);
  table.add(a);
  table.add(nullptr);
  EXPECT_EQ(table.count(), 2u);
  EXPECT_TRUE(table.contains(a.get()));

  std::weak_ptr<Listener> watch = b;
  b.reset();
  EXPECT_TRUE(watch.expired());  // the table did not keep it
  EXPECT_EQ(table.count(), 1u);
  ASSERT_EQ(table.allObjects().size(), 1u);
  EXPECT_EQ(table.allObjects().front(), a);

  table.remove(a);
  EXPECT_FALSE(table.contains(a.get()));
  EXPECT_EQ(table.count(), 0u);
}

TEST(WeakHashTableTest, CallbacksRunOnASnapshotThatMayChangeTheTable) {
  WeakHashTable<Listener> table;
  auto first = std::make_shared<Listener>("first");
  auto second = std::make_shared<Listener>("second");
  auto late = std::make_shared<Listener>("late");
  table.add(first);
  table.add(second);
  // The first member removes itself and adds another: the pass goes on over its snapshot.
  table.forEach([&](Listener& listener) {
    ++listener.calls;
    if (&listener == first.get()) {
      table.remove(first);
      table.add(late);
    }
  });
  EXPECT_EQ(first->calls, 1);
  EXPECT_EQ(second->calls, 1);
  EXPECT_EQ(late->calls, 0);
  EXPECT_FALSE(table.contains(first.get()));
  EXPECT_TRUE(table.contains(late.get()));
}

TEST(WeakHashTableTest, MembersComeAndGoWhileAnotherThreadCallsThem) {
  WeakHashTable<Listener> table;
  auto stable = std::make_shared<Listener>("stable");
  table.add(stable);
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int i = 0; i < 2000; ++i) {
      auto passing = std::make_shared<Listener>("passing");
      table.add(passing);
      if (i % 2) table.remove(passing);  // else it dies with `passing`
    }
    done = true;
  });
  int passes = 0;
  // At least one pass even when the churn ends before this thread gets going.
  do {
    bool sawStable = false;
    for (const auto& listener : table.allObjects()) sawStable |= listener == stable;
    EXPECT_TRUE(sawStable);
    ++passes;
  } while (!done);
  churn.join();
  EXPECT_GT(passes, 0);
  EXPECT_EQ(table.count(), 1u);
}

TEST(MonitorTest, IsReentrantAndExcludesOtherThreads) {
  Monitor monitor;
  EXPECT_EQ(monitor.synchronized([&] { return monitor.synchronized([] { return 7; }); }), 7);

  long counter = 0;  // deliberately not atomic: only the monitor protects it
  auto work = [&] {
    for (int i = 0; i < 50000; ++i) {
      monitor.synchronized([&] { monitor.synchronized([&] { ++counter; }); });
    }
  };
  std::thread one(work), two(work);
  one.join();
  two.join();
  EXPECT_EQ(counter, 100000);

  EXPECT_THROW(monitor.synchronized([]() -> int { throw std::runtime_error("body failed"); }), std::runtime_error);
  std::thread other([&] { EXPECT_TRUE(monitor.try_lock()); monitor.unlock(); });  // released after the throw
  other.join();
}

}  // namespace
