#pragma once
// A shell runner for tests that records each command it is given and answers with the result the
// test chose; it runs nothing, unless the test hands it a way to run the command for real. It can
// hold each run until the test releases it, as a password dialog holds a real one.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/ShellRunner.h"

namespace test {

class RecordingShellRunner : public foundation::ShellRunner {
 public:
  // Records (command, privileged), waits while the runner is held, then returns `next`, or what
  // `perform` returns when it is set. Called on whichever thread runs the command; the test sets
  // `next` and `perform` before the run starts, and reads `calls` only while a run waits or once
  // its outcome is back.
  Result run(const std::string& command, bool privileged) override {
    {
      std::unique_lock lock(mutex_);
      calls.emplace_back(command, privileged);
      ++waiting_;
      released_.wait(lock, [this] { return !held_; });
      --waiting_;
    }
    return perform ? perform(command) : next;
  }

  // From now on, each run waits until release().
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  // Lets the waiting runs, and every later one, go on.
  void release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }
  // Whether a run is waiting for release().
  bool isWaiting() const {
    std::lock_guard lock(mutex_);
    return waiting_ > 0;
  }

  std::vector<std::pair<std::string, bool>> calls;
  Result next;
  // Runs the recorded command for real (unprivileged, on temporary files) and gives its result.
  std::function<Result(const std::string& command)> perform;

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  int waiting_ = 0;
};

}  // namespace test
