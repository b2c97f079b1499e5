#pragma once
// QtMainLoopDriver lets Qt's event loop run the main thread's work: the blocks of the main
// dispatch queue and the timers of the main run loop (foundation::RunLoop). While it is
// installed, work posted from any thread wakes Qt's loop with a posted event, and the loop then
// drains the main queue in FIFO order on the main thread; a single-shot Qt timer is kept armed for
// the earliest run-loop timer, so those fire under Qt as they do under the headless loop.
//
// The driver does not replace the headless loop: RunLoop::runUntil still works while it is
// installed (tests pump it that way). Run-loop modes are left out, as in the run loop itself.
#include <memory>

class QObject;
class QTimer;

namespace appkit {

class QtMainLoopDriver {
 public:
  // Installs the driver on the main run loop. Call on the main thread after the Qt application
  // object exists; at most one driver may be installed at a time. Work already waiting is
  // scheduled at once.
  QtMainLoopDriver();
  // Uninstalls it; posts still in flight from other threads are dropped safely, and the work
  // they announced stays queued for whichever loop runs next.
  ~QtMainLoopDriver();
  QtMainLoopDriver(const QtMainLoopDriver&) = delete;
  QtMainLoopDriver& operator=(const QtMainLoopDriver&) = delete;

 private:
  class Receiver;
  struct Link;

  // One pass of the main run loop, then the Qt timer re-armed for the next run-loop timer.
  void service();
  void armTimer();

  std::shared_ptr<Link> link_;
  std::unique_ptr<Receiver> receiver_;
  std::unique_ptr<QTimer> timer_;
};

}  // namespace appkit
