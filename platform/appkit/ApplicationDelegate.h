#pragma once
// ApplicationDelegate is what the application tells of its launch and its end; the application
// program implements it (its own delegate class), and Application calls it on the main thread.
//
// Application reaches the delegate through a table of callbacks by name that each delegate object
// carries, filled at construction with its own virtual methods. Code that wants to see those
// calls without the delegate's help (the telemetry SDK's delegate forwarder) replaces an entry
// and keeps the previous one to call on; a delegate that knows nothing of it behaves the same.
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/foundation/Value.h"

namespace appkit {

class ApplicationDelegate;

// One callback of the table: the receiving delegate and the call's arguments in order; answers
// the call's result (null for callbacks that return nothing).
using DelegateMethod =
    std::function<foundation::Value(ApplicationDelegate& receiver, const foundation::Array& arguments)>;

class ApplicationDelegate {
 public:
  // The names of the callbacks below, as the table knows them.
  static constexpr const char* kWillFinishLaunching = "applicationWillFinishLaunching";
  static constexpr const char* kDidFinishLaunching = "applicationDidFinishLaunching";
  static constexpr const char* kShouldTerminateAfterLastWindowClosed = "applicationShouldTerminateAfterLastWindowClosed";
  static constexpr const char* kWillTerminate = "applicationWillTerminate";

  // Fills the table with the four callbacks below.
  ApplicationDelegate();
  virtual ~ApplicationDelegate() = default;
  ApplicationDelegate(const ApplicationDelegate&) = delete;
  ApplicationDelegate& operator=(const ApplicationDelegate&) = delete;

  // Before the event loop starts; no window has been shown yet.
  virtual void applicationWillFinishLaunching() {}
  // Once, from inside the event loop, right after it has started.
  virtual void applicationDidFinishLaunching() {}
  // Asked when the last visible window has been closed; true ends the application through
  // Application::terminate(). Defaults to true: this desktop has no dock from which a windowless
  // application could be brought back, so staying alive would leave an unreachable process.
  virtual bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
  // Once, when the application ends through terminate(), a termination signal or the session's
  // end, before the event loop stops. Windows still exist here.
  virtual void applicationWillTerminate() {}

  // ---- The table of callbacks ----------------------------------------------------------------------
  // Thread-safe; a callback runs outside the table's lock.

  // The callback under `name`, or an empty function.
  DelegateMethod methodForName(const std::string& name) const;
  bool respondsToName(const std::string& name) const;
  // Puts `method` under `name` and answers the callback it replaced (empty when the name was new).
  DelegateMethod replaceMethod(const std::string& name, DelegateMethod method);
  // Calls the callback under `name` with `arguments`; null when there is none.
  foundation::Value perform(const std::string& name, const foundation::Array& arguments = {});

 private:
  mutable std::mutex mutex_;
  std::map<std::string, DelegateMethod> methods_;
};

}  // namespace appkit
