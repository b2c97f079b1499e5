#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/reachability/ScriptedFlagSource.h"
#include "platform/reachability/SystemFlagSource.h"
#include "platform/reachability/Target.h"

using namespace reachability;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<Target> ipv4Target(const char* text) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, text, &address.sin_addr);
  return Target::createWithAddress(reinterpret_cast<const sockaddr*>(&address));
}

// Installs a scripted source for one test and puts the system one back afterwards.
class ScriptedTargetTest : public testing::Test {
 protected:
  void SetUp() override { setFlagSource(source); }
  void TearDown() override { setFlagSource(nullptr); }
  std::shared_ptr<ScriptedFlagSource> source = std::make_shared<ScriptedFlagSource>();
};

// What the callback saw, reached through the context's info pointer.
struct Seen {
  std::atomic<int> calls{0};
  std::atomic<Flags> last{0};
  std::atomic<bool> onQueue{true};
  std::shared_ptr<dispatch::Queue> queue;
  dispatch::Semaphore called;
};

void record(Target&, Flags flags, void* info) {
  auto* seen = static_cast<Seen*>(info);
  if (seen->queue && !seen->queue->isCurrent()) seen->onQueue = false;
  seen->last = flags;
  ++seen->calls;
  seen->called.signal();
}

TEST(TargetCreationTest, RejectsWhatCannotBeWatched) {
  EXPECT_EQ(Target::createWithName(""), nullptr);
  EXPECT_EQ(Target::createWithAddress(nullptr), nullptr);
  sockaddr unix{};
  unix.sa_family = AF_UNIX;
  EXPECT_EQ(Target::createWithAddress(&unix), nullptr);
  auto named = Target::createWithName("example.test");
  ASSERT_NE(named, nullptr);
  EXPECT_TRUE(named->isHostName());
  EXPECT_EQ(named->hostName(), "example.test");
}

TEST_F(ScriptedTargetTest, CallsBackOnItsQueueOnlyWhenFlagsChange) {
  source->setFlags("10.1.2.3", kReachable);
  auto target = ipv4Target("10.1.2.3");
  EXPECT_EQ(target->getFlags(), kReachable);
  Seen seen;
  seen.queue = dispatch::Queue::createSerial("test.reachability");
  Context context;
  context.info = &seen;
  ASSERT_TRUE(target->setCallback(&record, &context));
  ASSERT_TRUE(target->setDispatchQueue(seen.queue));

  source->setFlags("10.1.2.3", kReachable);  // unchanged: no callback
  source->setFlags("10.9.9.9", 0);           // another address: no callback
  seen.queue->sync([] {});
  EXPECT_EQ(seen.calls, 0);

  source->setFlags("10.1.2.3", kReachable | kIsDirect);
  ASSERT_TRUE(seen.called.wait(5s));
  EXPECT_EQ(seen.last, kReachable | kIsDirect);
  source->setFlags("10.1.2.3", std::nullopt);  // unreadable flags are not reported
  seen.queue->sync([] {});
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(target->getFlags(), std::nullopt);
  EXPECT_TRUE(seen.onQueue);
  target->setDispatchQueue(nullptr);
}

TEST_F(ScriptedTargetTest, UnschedulingWaitsForARunningCallbackAndStopsLaterOnes) {
  auto target = Target::createWithName("host.test");
  auto queue = dispatch::Queue::createConcurrent("test.reachability.stop");
  struct Blocking {
    dispatch::Semaphore entered, release;
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
  } blocking;
  Context context;
  context.info = &blocking;
  target->setCallback([](Target&, Flags, void* info) {
    auto* b = static_cast<Blocking*>(info);
    ++b->calls;
    b->inside = true;
    b->entered.signal();
    b->release.wait(5s);
    b->inside = false;
  }, &context);
  target->setDispatchQueue(queue);
  source->setFlags("host.test", kReachable);
  ASSERT_TRUE(blocking.entered.wait(5s));
  std::thread releaser([&] {
    std::this_thread::sleep_for(20ms);
    blocking.release.signal();
  });
  target->setDispatchQueue(nullptr);
  EXPECT_FALSE(blocking.inside) << "unscheduling returned while the callback ran";
  releaser.join();
  source->setFlags("host.test", 0);
  queue->syncBarrier([] {});
  EXPECT_EQ(blocking.calls, 1);
}

TEST_F(ScriptedTargetTest, ContextIsRetainedAndReleasedAndDroppedTargetsStopCallingBack) {
  static std::atomic<int> retains{0}, releases{0};
  retains = releases = 0;
  Seen seen;
  Context context;
  context.info = &seen;
  context.retain = [](const void* info) { ++retains; return info; };
  context.release = [](const void*) { ++releases; };
  auto queue = dispatch::Queue::createSerial("test.reachability.context");
  {
    auto target = ipv4Target("10.0.0.7");
    target->setCallback(&record, &context);
    EXPECT_EQ(retains, 1);
    target->setCallback(&record, &context);  // replacing releases the earlier one
    EXPECT_EQ(releases, 1);
    target->setDispatchQueue(queue);
  }
  EXPECT_EQ(releases, 2) << "the target let go of its context when it went";
  source->setFlags("10.0.0.7", kReachable);
  queue->sync([] {});
  EXPECT_EQ(seen.calls, 0);
}

TEST(SystemFlagSourceTest, LoopbackIsReachableLocalAndDirect) {
  auto target = ipv4Target("127.0.0.1");
  auto flags = target->getFlags();
  ASSERT_TRUE(flags.has_value());
  EXPECT_EQ(*flags & (kReachable | kIsLocalAddress | kIsDirect), kReachable | kIsLocalAddress | kIsDirect);
  // A numeric host name is answered the same way, without resolution.
  EXPECT_EQ(Target::createWithName("127.0.0.1")->getFlags(), flags);
}

TEST(SystemFlagSourceTest, AnyNetworkTargetGivesAnAnswer) {
  // Whether this machine has a network is not ours to assert; that the kernel answers is.
  EXPECT_TRUE(ipv4Target("0.0.0.0")->getFlags().has_value());
}

TEST(SystemFlagSourceTest, MalformedNamesAreNotReachableAtOnce) {
  const std::string overlongLabel = std::string(64, 'a') + ".test";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Target::createWithName(overlongLabel)->getFlags(), Flags{0});
  EXPECT_EQ(Target::createWithName("a..b")->getFlags(), Flags{0});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(SystemFlagSourceTest, HostNamesResolveInTheBackgroundAndReportWhenDone) {
  auto release = std::make_shared<dispatch::Semaphore>();
  SystemFlagSource source([release](const std::string& name) {
    release->wait(5s);  // a slow resolver: the question must not wait for it
    std::vector<sockaddr_storage> addresses;
    if (name == "loop.test") {
      sockaddr_storage address{};
      auto& four = reinterpret_cast<sockaddr_in&>(address);
      four.sin_family = AF_INET;
      inet_pton(AF_INET, "127.0.0.1", &four.sin_addr);
      addresses.push_back(address);
    }
    return addresses;
  });
  // Shared: the source's watch thread may still hold the handler after the test.
  auto changed = std::make_shared<dispatch::Semaphore>();
  source.setChangeHandler([changed] { changed->signal(); });

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(source.flagsForHostName("loop.test"), std::nullopt) << "still resolving";
  EXPECT_EQ(source.flagsForHostName("nowhere.test"), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  release->signal();
  release->signal();
  ASSERT_TRUE(changed->wait(5s));
  ASSERT_TRUE(changed->wait(5s));
  const auto flags = source.flagsForHostName("loop.test");
  ASSERT_TRUE(flags.has_value());
  EXPECT_TRUE(*flags & kReachable);
  EXPECT_TRUE(*flags & kIsLocalAddress);
  EXPECT_EQ(source.flagsForHostName("nowhere.test"), Flags{0}) << "a name that does not resolve";
  source.setChangeHandler({});
}

TEST(SystemFlagSourceTest, HostNameWellFormedness) {
  struct Case {
    std::string name;
    bool wellFormed;
  } cases[] = {
      {"example.test", true},
      {"example.test.", true},
      {"a", true},
      {std::string(63, 'x') + ".test", true},
      {std::string(64, 'x') + ".test", false},
      {"", false},
      {".", false},
      {"a..b", false},
      {".a", false},
      {std::string(250, 'a').insert(60, ".").insert(120, ".").insert(180, ".").insert(240, "."), false},
  };
  for (const auto& c : cases) EXPECT_EQ(SystemFlagSource::isWellFormedHostName(c.name), c.wellFormed) << c.name;
}

}  // namespace
