#pragma once
// ApplicationDelegate is what the application tells of its launch and its end; the application
// program implements it (its own delegate class), and Application calls it on the main thread.
namespace appkit {

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;

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
};

}  // namespace appkit
