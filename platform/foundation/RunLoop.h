#pragma once
// RunLoop stands in for the main thread's run loop. It drains the main dispatch queue (it is the
// main queue's driver, see platform/dispatch/MainQueueDriver.h) and fires timers, and it can run
// until a date or until a condition holds. This is the headless loop of tests and tools; in the
// application, Qt's event loop drives the same work through processPending() and the wake handler,
// so callers never need to know which loop is running. Input sources and run-loop modes other
// than the default one are left out.
#include <functional>
#include <memory>

#include "platform/foundation/Date.h"

namespace foundation {

class Timer;

// The platform's mode names, for callers that schedule in a mode. The loop has one mode, which
// both stand for.
inline constexpr const char* kDefaultRunLoopMode = "kCFRunLoopDefaultMode";
inline constexpr const char* kRunLoopCommonModes = "kCFRunLoopCommonModes";

class RunLoop {
 public:
  // The main thread's loop, created on first use and installed as the main queue's driver at
  // once, from whichever thread asks first. Lives for the whole process.
  static RunLoop& main();

  // Adds `timer` to the loop; its first firing is its interval from now (or its fire date, if it
  // was set). Adding a timer twice or an invalid one does nothing. Thread-safe.
  void addTimer(const std::shared_ptr<Timer>& timer);

  // One pass: runs the main-queue blocks waiting now and the timers that are due, and returns
  // whether anything ran. Does not wait. Main thread only (elsewhere returns false, runs nothing).
  bool processPending();
  // Runs the loop until `date`, or until stop() is called, and returns true; main thread only.
  // Returns false at once when called elsewhere.
  bool runUntil(Date date);
  // Runs the loop until `condition` returns true or `timeoutSeconds` pass, checking it after each
  // pass; returns whether the condition held. Main thread only (elsewhere returns the condition's
  // value without running anything).
  bool runUntil(const std::function<bool()>& condition, double timeoutSeconds);
  // Makes the innermost runUntil return after its current pass; ignored when no run is in
  // progress. Thread-safe.
  void stop();

  // Wakes a waiting loop (and the installed wake handler). Thread-safe; never blocks.
  void wakeUp();
  // For an outside event loop that drives this one: `handler` is called, from any thread, whenever
  // there is new work (a main-queue block or a timer added or moved); it should arrange a call of
  // processPending() on the main thread. Pass an empty function to remove it. Thread-safe.
  void setWakeHandler(std::function<void()> handler);
  // The earliest fire date of the scheduled timers, or distantFuture when there is none.
  Date nextTimerDate() const;

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

 private:
  RunLoop();
  ~RunLoop();
  friend class Timer;
  void removeTimer(const Timer* timer);
  bool fireDueTimers();

  struct State;
  std::unique_ptr<State> state_;
};

// Test helper: runs the main run loop until `condition` holds or `timeoutSeconds` pass, and returns
// whether it held. Call it on the main thread, where tests run.
bool pumpMainUntil(const std::function<bool()>& condition, double timeoutSeconds = 5.0);

}  // namespace foundation
