#pragma once
// MainQueueDriver is the bridge between the main dispatch queue and whatever loop runs the main
// thread: the headless foundation::RunLoop in tests and tools, Qt's event loop in the application.
// The queue calls wake() whenever it gets work; the driver then calls drainMainQueue() on the main
// thread. Nothing else about the loop is assumed.
#include <cstddef>

namespace dispatch {

class MainQueueDriver {
 public:
  virtual ~MainQueueDriver() = default;
  // Asks the loop to call drainMainQueue() on the main thread soon. Called from any thread, with
  // no lock of the queue held; must not block and must not run blocks itself.
  virtual void wake() = 0;
};

// Installs the driver that the main queue wakes, replacing any earlier one (null removes it). The
// driver must outlive its installation. If blocks are already waiting, it is woken at once.
// Thread-safe.
void setMainQueueDriver(MainQueueDriver* driver);

// Runs, on the calling thread, the blocks of the main queue that were queued when it was called,
// in FIFO order, and returns how many ran. Blocks queued meanwhile wait for the next call (so a
// block that re-posts itself cannot hold the loop). Must be called on the main thread; elsewhere it
// runs nothing and returns 0.
std::size_t drainMainQueue();

// Whether the main queue holds blocks that have not run. Thread-safe.
bool mainQueueHasPendingBlocks();

}  // namespace dispatch
