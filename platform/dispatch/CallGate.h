#pragma once
// CallGate guards the calls of one registered callback (an observer, a source's handler) so that
// closing the registration is sound across threads: once close() returns, no call has started
// since and none is running on another thread. A call in progress on the closing thread itself
// (removal from inside the callback) is let finish, since waiting for it would deadlock.
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace dispatch {

class CallGate {
 public:
  CallGate() = default;
  CallGate(const CallGate&) = delete;
  CallGate& operator=(const CallGate&) = delete;

  // Records a call starting on this thread; returns false (and records nothing) once closed.
  bool enter();
  // Records the end of a call that enter() let through.
  void exit();
  // Closes the gate and waits for the calls running on other threads. Idempotent. Thread-safe.
  void close();
  bool isClosed() const;

  // Runs `call` between enter() and exit() if the gate is open; returns whether it ran.
  template <typename F>
  bool run(F&& call) {
    if (!enter()) return false;
    struct Exit {
      CallGate* gate;
      ~Exit() { gate->exit(); }
    } exitOnReturn{this};
    call();
    return true;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  bool closed_ = false;
  std::vector<std::thread::id> running_;
};

}  // namespace dispatch
