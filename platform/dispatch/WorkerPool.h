#pragma once
// WorkerPool is the set of threads that run the blocks of every private and global queue. It
// starts a thread whenever a task arrives and none is idle, so a block that waits (on a semaphore,
// a group, a sync onto another queue) never holds up the others; idle threads end after a while.
// Internal to the dispatch stand-in.
#include <functional>

namespace dispatch {

class WorkerPool {
 public:
  // The process-wide pool. It is never destroyed, so that threads still running at exit do not
  // touch a destroyed object.
  static WorkerPool& shared();

  // Runs `task` on a worker thread soon. Thread-safe.
  void submit(std::function<void()> task);

 private:
  WorkerPool() = default;
  void workerLoop();

  struct State;
  State* state_ = nullptr;
};

}  // namespace dispatch
