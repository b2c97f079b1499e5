#pragma once
// A thread that receives exception requests on a port of its own, keeps them and answers each
// with a fixed return code; for tests of code that raises or forwards exceptions. The state
// forms get back the state they sent with one added to each word, so a test can tell it came back.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/MachException.h"

namespace test {

class ExceptionCatcher {
 public:
  // Starts the thread, which answers every request with `answer`.
  explicit ExceptionCatcher(kernel::kern_return_t answer);
  // Destroys the port, which ends the thread, and joins it.
  ~ExceptionCatcher();
  ExceptionCatcher(const ExceptionCatcher&) = delete;
  ExceptionCatcher& operator=(const ExceptionCatcher&) = delete;

  // The port, with a send right in the name space.
  kernel::mach_port_t port() const { return port_; }
  kernel::thread_t thread() const { return thread_.load(); }
  // Runs on the catcher's thread for each request, before the answer (to write a trace, say).
  void setObserver(void (*observer)(const kernel::exception_request&)) { observer_ = observer; }
  // The requests so far, once there are `count` of them or 2 seconds have passed.
  std::vector<kernel::exception_request> waitFor(std::size_t count);

 private:
  void serve();

  kernel::kern_return_t answer_;
  kernel::mach_port_t port_ = kernel::MACH_PORT_NULL;
  std::atomic<kernel::thread_t> thread_{0};
  std::atomic<void (*)(const kernel::exception_request&)> observer_{nullptr};
  std::mutex mutex_;
  std::vector<kernel::exception_request> requests_;
  std::thread worker_;
};

}  // namespace test
