#include "platform/dispatch/Queue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/dispatch/Group.h"
#include "platform/dispatch/MainQueueDriver.h"
#include "platform/dispatch/TimerService.h"
#include "platform/dispatch/WorkerPool.h"

namespace dispatch {

namespace {

// The queues whose blocks this thread is running, innermost last.
thread_local std::vector<Queue*> tlsRunning;

// Marks the calling thread as running a block of `queue` for the scope's lifetime.
class RunningScope {
 public:
  explicit RunningScope(Queue* queue) { tlsRunning.push_back(queue); }
  ~RunningScope() { tlsRunning.pop_back(); }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;
};

bool threadIsRunning(const Queue* queue) {
  return std::find(tlsRunning.begin(), tlsRunning.end(), queue) != tlsRunning.end();
}

// A thread waiting in sync() for its turn on a queue.
struct SyncWaiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool granted = false;

  void grant() {
    std::lock_guard lock(mutex);
    granted = true;
    cv.notify_one();
  }
  void waitForGrant() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return granted; });
  }
};

// Serial, concurrent and global queues: blocks start in FIFO order on the worker pool; an
// exclusive item (every item of a serial queue, a barrier of a private concurrent queue) starts
// only when nothing else runs and holds back everything after it.
class PrivateQueue final : public Queue {
 public:
  PrivateQueue(Kind kind, std::string label, QualityOfService qos, bool global)
      : Queue(kind, std::move(label), qos), global_(global) {}

 protected:
  void enqueue(Block block, bool barrier) override {
    std::vector<Item> starts;
    {
      std::lock_guard lock(mutex_);
      items_.push_back(Item{std::move(block), isExclusive(barrier), nullptr});
      pumpLocked(starts);
    }
    start(starts);
  }

  void runSync(const Block& block, bool barrier) override {
    if (threadIsRunning(this)) {
      // Re-entry: the caller already holds this queue further up its stack.
      RunningScope scope(this);
      block();
      return;
    }
    const bool exclusive = isExclusive(barrier);
    if (!claimIdle(exclusive)) waitForTurn(exclusive);
    {
      RunningScope scope(this);
      block();
    }
    finished(exclusive);
  }

  void doSuspend() override {
    if (global_) return;
    std::lock_guard lock(mutex_);
    ++suspendCount_;
  }

  void doResume() override {
    std::vector<Item> starts;
    {
      std::lock_guard lock(mutex_);
      if (suspendCount_ == 0) return;
      --suspendCount_;
      pumpLocked(starts);
    }
    start(starts);
  }

 private:
  struct Item {
    Block block;
    bool exclusive = false;
    SyncWaiter* waiter = nullptr;  // a sync caller to hand the queue to, instead of a block
  };

  bool isExclusive(bool barrier) const {
    return kind() == Kind::Serial || (barrier && !global_);
  }

  bool canStartLocked(bool exclusive) const {
    return exclusive ? running_ == 0 : !exclusiveRunning_;
  }

  void markStartedLocked(bool exclusive) {
    ++running_;
    if (exclusive) exclusiveRunning_ = true;
  }

  // Moves the items that may start now from the queue into `starts`.
  void pumpLocked(std::vector<Item>& starts) {
    while (!items_.empty() && suspendCount_ == 0) {
      Item& front = items_.front();
      if (!canStartLocked(front.exclusive)) return;
      markStartedLocked(front.exclusive);
      const bool exclusive = front.exclusive;
      starts.push_back(std::move(front));
      items_.pop_front();
      if (exclusive) return;
    }
  }

  void start(std::vector<Item>& starts) {
    for (Item& item : starts) {
      if (item.waiter) {
        item.waiter->grant();
        continue;
      }
      auto self = std::static_pointer_cast<PrivateQueue>(shared_from_this());
      WorkerPool::shared().submit([self, block = std::move(item.block), exclusive = item.exclusive]() mutable {
        {
          RunningScope scope(self.get());
          block();
        }
        // What the block captured is let go before the next item may start, so a sync()
        // that follows sees every capture of the blocks ahead of it already released.
        block = nullptr;
        self->finished(exclusive);
      });
    }
  }

  void finished(bool exclusive) {
    std::vector<Item> starts;
    {
      std::lock_guard lock(mutex_);
      --running_;
      if (exclusive) exclusiveRunning_ = false;
      pumpLocked(starts);
    }
    start(starts);
  }

  // Takes the queue at once when nothing is queued ahead and it may start; returns whether it did.
  bool claimIdle(bool exclusive) {
    std::lock_guard lock(mutex_);
    if (!items_.empty() || suspendCount_ > 0 || !canStartLocked(exclusive)) return false;
    markStartedLocked(exclusive);
    return true;
  }

  // Queues the caller and waits until the queue is handed to it (already marked started).
  void waitForTurn(bool exclusive) {
    SyncWaiter waiter;
    std::vector<Item> starts;
    {
      std::lock_guard lock(mutex_);
      items_.push_back(Item{nullptr, exclusive, &waiter});
      pumpLocked(starts);
    }
    start(starts);
    waiter.waitForGrant();
  }

  const bool global_;
  std::mutex mutex_;
  std::deque<Item> items_;
  std::size_t running_ = 0;
  bool exclusiveRunning_ = false;
  std::size_t suspendCount_ = 0;
};

// The main queue: a FIFO that only the main thread drains, through its driver.
class MainQueue final : public Queue {
 public:
  MainQueue() : Queue(Kind::Main, "main-thread", QualityOfService::UserInteractive) {}

  void setDriver(MainQueueDriver* driver) {
    bool pending = false;
    {
      std::lock_guard lock(mutex_);
      driver_ = driver;
      pending = !blocks_.empty();
    }
    if (driver && pending) driver->wake();
  }

  std::size_t drain() {
    if (!Queue::isMainThread()) return 0;
    std::size_t count = 0;
    {
      std::lock_guard lock(mutex_);
      count = blocks_.size();
    }
    std::size_t ran = 0;
    for (; ran < count; ++ran) {
      Block block;
      {
        std::lock_guard lock(mutex_);
        if (blocks_.empty()) break;
        block = std::move(blocks_.front());
        blocks_.pop_front();
      }
      RunningScope scope(this);
      block();
    }
    return ran;
  }

  bool hasPending() {
    std::lock_guard lock(mutex_);
    return !blocks_.empty();
  }

 protected:
  void enqueue(Block block, bool) override {
    MainQueueDriver* driver = nullptr;
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
      driver = driver_;
    }
    if (driver) driver->wake();
  }

  void runSync(const Block& block, bool) override {
    if (Queue::isMainThread()) {
      // The main thread owns this queue: run at once rather than deadlock.
      RunningScope scope(this);
      block();
      return;
    }
    SyncWaiter done;
    enqueue([&] {
      block();
      done.grant();
    }, false);
    done.waitForGrant();
  }

 private:
  std::mutex mutex_;
  std::deque<Block> blocks_;
  MainQueueDriver* driver_ = nullptr;
};

// Never destroyed: worker threads may still post to it while the process exits.
const std::shared_ptr<MainQueue>& mainQueuePtr() {
  static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  return *queue;
}

MainQueue& mainQueueImpl() { return *mainQueuePtr(); }

}  // namespace

Queue::Queue(Kind kind, std::string label, QualityOfService qos)
    : kind_(kind), label_(std::move(label)), qos_(qos) {}

Queue::~Queue() = default;

std::shared_ptr<Queue> Queue::createSerial(std::string label, QualityOfService qos) {
  return std::make_shared<PrivateQueue>(Kind::Serial, std::move(label), qos, false);
}

std::shared_ptr<Queue> Queue::createConcurrent(std::string label, QualityOfService qos) {
  return std::make_shared<PrivateQueue>(Kind::Concurrent, std::move(label), qos, false);
}

std::shared_ptr<Queue> Queue::global(QualityOfService qos) {
  if (qos == QualityOfService::Unspecified) qos = QualityOfService::Default;
  static auto* queues = [] {
    auto* all = new std::array<std::shared_ptr<Queue>, 6>();
    for (int i = 1; i < 6; ++i) {
      auto q = static_cast<QualityOfService>(i);
      (*all)[i] = std::make_shared<PrivateQueue>(Kind::Concurrent, std::string("global.") + nameOf(q), q, true);
    }
    return all;
  }();
  return (*queues)[static_cast<int>(qos)];
}

std::shared_ptr<Queue> Queue::global(GlobalPriority priority) {
  return global(qualityOfServiceFor(priority));
}

std::shared_ptr<Queue> Queue::main() { return mainQueuePtr(); }

std::shared_ptr<Queue> Queue::current() {
  if (tlsRunning.empty()) return nullptr;
  return tlsRunning.back()->shared_from_this();
}

bool Queue::isCurrent() const {
  if (kind_ == Kind::Main) return isMainThread();
  return threadIsRunning(this);
}

bool Queue::isMainThread() {
  thread_local const bool isMain = ::syscall(SYS_gettid) == ::getpid();
  return isMain;
}

void Queue::async(Block block) { enqueue(std::move(block), false); }

void Queue::async(Block block, const std::shared_ptr<Group>& group) {
  if (!group) return async(std::move(block));
  group->enter();
  enqueue([block = std::move(block), group] {
    block();
    group->leave();
  }, false);
}

void Queue::sync(const Block& block) { runSync(block, false); }

void Queue::asyncAfter(Duration delay, Block block) {
  if (delay <= Duration::zero()) return async(std::move(block));
  auto self = shared_from_this();
  TimerService::shared().schedule(deadlineAfter(delay), [self, block = std::move(block)]() mutable {
    self->async(std::move(block));
  });
}

void Queue::asyncAfter(double delaySeconds, Block block) {
  asyncAfter(seconds(delaySeconds), std::move(block));
}

void Queue::asyncBarrier(Block block) { enqueue(std::move(block), true); }

void Queue::syncBarrier(const Block& block) { runSync(block, true); }

void Queue::suspend() { doSuspend(); }

void Queue::resume() { doResume(); }

void setMainQueueDriver(MainQueueDriver* driver) { mainQueueImpl().setDriver(driver); }

std::size_t drainMainQueue() { return mainQueueImpl().drain(); }

bool mainQueueHasPendingBlocks() { return mainQueueImpl().hasPending(); }

}  // namespace dispatch
