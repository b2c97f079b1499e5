#pragma once
// Application stands in for the application object of the desktop framework: it owns the Qt
// application, makes Qt's event loop the main thread's run loop (see QtMainLoopDriver.h), runs
// it, and tells its delegate of launch and termination in the framework's order:
// applicationWillFinishLaunching before the loop, applicationDidFinishLaunching as the loop's first
// work, applicationWillTerminate once at the end, whatever ends it (terminate(), SIGTERM, SIGINT or
// SIGHUP, the desktop session ending, or the last window closing when the delegate agrees).
//
// The Qt application is named after the main bundle (CFBundleName as its name, so the X11 window
// class, and CFBundleIdentifier as its desktop file name, so the Wayland app id), which lets the
// desktop match the windows with the installed desktop entry.
//
// Activation and resignation are posted as notifications through ApplicationActivation, which the
// application keeps while it lives. Left out: hiding, the dock, services, open-file requests.
//
// setDelegate goes through a replaceable slot, so code outside the application can see which
// delegate is set (the telemetry SDK's delegate forwarder does).
#include <functional>
#include <memory>

#include "platform/appkit/ApplicationDelegate.h"

class QApplication;
class QObject;

namespace appkit {

class ApplicationActivation;
class QtMainLoopDriver;
class TerminationSignals;

class Application {
 public:
  // Creates the Qt application from the command line (argc must outlive this object, as Qt
  // requires), or takes the one that already exists, which it then does not own. Installs the
  // main-loop driver and the termination-signal handlers, and names the Qt application after the
  // main bundle (see above). Main thread only; one at a time.
  Application(int& argc, char** argv);
  // Drops the delegate first (so its windows go before Qt does), then the driver, the signal
  // handlers and the Qt application it owns.
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The living application, or null. Main thread only.
  static Application* shared();

  // Sets the delegate through the set-delegate slot below; by default the delegate is held
  // strongly for the application's life and replaces any earlier one. The application calls it
  // through its table of callbacks by name (see ApplicationDelegate.h).
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);

  // What setDelegate runs: the receiving application and the new delegate.
  using SetDelegateImplementation = std::function<void(Application&, std::shared_ptr<ApplicationDelegate>)>;
  // Puts `implementation` in the process-wide set-delegate slot and answers the one it replaced,
  // which a replacement calls on so that the application still gets its delegate. Main thread.
  static SetDelegateImplementation replaceSetDelegateImplementation(SetDelegateImplementation implementation);
  // The slot's first content: keeps the delegate.
  static void primitiveSetDelegate(Application& application, std::shared_ptr<ApplicationDelegate> delegate);
  const std::shared_ptr<ApplicationDelegate>& delegate() const { return delegate_; }

  // Runs the launch sequence and then the event loop until the application ends; returns the
  // loop's exit code (0 when the end came before the loop started). Main thread only. Once the
  // application has ended, further calls return 0 at once.
  int run();
  // Ends the application: runs applicationWillTerminate (only the first time) and makes run()
  // return as soon as control is back in the loop, leaving any nested modal loops too. Called
  // before run(), run() then returns at once. Main thread only.
  void terminate();
  // Whether terminate() (or a signal or the session's end) has started the end.
  bool isTerminating() const { return terminating_; }

 private:
  static SetDelegateImplementation& setDelegateSlot();
  void finishLaunching();
  void willTerminateOnce();

  std::unique_ptr<QApplication> ownedApplication_;
  // Receiver of the Qt application's signals; dropping it drops the connections.
  std::unique_ptr<QObject> context_;
  std::shared_ptr<ApplicationDelegate> delegate_;
  std::unique_ptr<QtMainLoopDriver> driver_;
  std::unique_ptr<TerminationSignals> signals_;
  std::unique_ptr<ApplicationActivation> activation_;
  bool launched_ = false;
  bool terminating_ = false;
  bool willTerminateSent_ = false;
};

}  // namespace appkit
