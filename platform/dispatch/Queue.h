#pragma once
// Queue stands in for the platform's dispatch queues: serial and concurrent private queues with
// labels, the global concurrent queues (one per quality of service) and the main queue.
//
// Private and global queues run their blocks on a shared pool of worker threads that grows while
// blocks wait, so a blocked block never starves the others. A serial queue runs one block at a
// time in FIFO order; a concurrent queue starts blocks in FIFO order and runs them side by side,
// except barriers, which run alone. The main queue runs only on the main thread (the process's
// first thread), FIFO, when its driver drains it (see MainQueueDriver.h).
//
// Unlike the platform, `sync` onto a queue that the calling thread is already running on (directly
// or through nested syncs) runs the block at once instead of deadlocking: contexts rely on
// re-entrant perform-and-wait. Target queues and autorelease pools are left out.
#include <memory>
#include <string>

#include "platform/dispatch/QualityOfService.h"
#include "platform/dispatch/Time.h"

namespace dispatch {

class Group;

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  enum class Kind { Serial, Concurrent, Main };

  virtual ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  // A new serial queue. Blocks still queued when the last outside reference goes are still run
  // (a queue left suspended then drops them).
  static std::shared_ptr<Queue> createSerial(std::string label,
                                             QualityOfService qos = QualityOfService::Unspecified);
  // A new concurrent queue (barrier blocks run alone on it).
  static std::shared_ptr<Queue> createConcurrent(std::string label,
                                                 QualityOfService qos = QualityOfService::Unspecified);
  // The process-wide concurrent queue for `qos` (Unspecified gives the default one). Barriers on
  // a global queue behave like plain blocks, as on the platform. Never null; lives forever.
  static std::shared_ptr<Queue> global(QualityOfService qos = QualityOfService::Default);
  static std::shared_ptr<Queue> global(GlobalPriority priority);
  // The main queue; usable from any thread. Never null; lives forever.
  static std::shared_ptr<Queue> main();

  // The queue whose block the calling thread is running (the innermost one for nested syncs), or
  // null on a thread that runs none. On the main thread outside any block this is null too.
  static std::shared_ptr<Queue> current();
  // Whether the calling thread is running a block of this queue, at any nesting depth; for the
  // main queue, whether the caller is on the main thread. Callers use it to detect re-entry.
  bool isCurrent() const;

  // Whether the calling thread is the process's main thread.
  static bool isMainThread();

  const std::string& label() const { return label_; }
  Kind kind() const { return kind_; }
  QualityOfService qualityOfService() const { return qos_; }

  // Schedules `block` and returns at once. When `group` is given, the block counts as entered in
  // it until it has run. Thread-safe.
  void async(Block block);
  void async(Block block, const std::shared_ptr<Group>& group);
  // Runs `block` on the calling thread once every earlier block on this queue (on a serial
  // queue) or every earlier barrier (on a concurrent one) has finished, and returns after it.
  // Re-entrant: see the class comment. On the main queue from another thread, the block runs on
  // the main thread and the caller waits for it. Thread-safe.
  void sync(const Block& block);
  // Schedules `block` after `delay` (not before). Thread-safe.
  void asyncAfter(Duration delay, Block block);
  // The delayed run in seconds, the form the HTTP clients use; negative delays run at once.
  void asyncAfter(double delaySeconds, Block block);
  // Barrier forms: on a concurrent private queue the block waits for every block before it and
  // nothing after it starts until it has finished; on other queues they are plain async/sync.
  void asyncBarrier(Block block);
  void syncBarrier(const Block& block);

  // Holds back blocks that have not started; calls nest and each needs a resume. Blocks already
  // running are not interrupted. Has no effect on the main queue. Thread-safe.
  void suspend();
  // Undoes one suspend; resuming a queue that is not suspended is ignored.
  void resume();

 protected:
  Queue(Kind kind, std::string label, QualityOfService qos);

  // Scheduling, implemented by the private and main queues.
  virtual void enqueue(Block block, bool barrier) = 0;
  virtual void runSync(const Block& block, bool barrier) = 0;
  virtual void doSuspend() {}
  virtual void doResume() {}

 private:
  Kind kind_;
  std::string label_;
  QualityOfService qos_;
};

// Shorthands used throughout the code.
inline std::shared_ptr<Queue> mainQueue() { return Queue::main(); }
inline std::shared_ptr<Queue> globalQueue(QualityOfService qos = QualityOfService::Default) {
  return Queue::global(qos);
}

}  // namespace dispatch
