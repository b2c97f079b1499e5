#pragma once
// ApplicationActivation posts the desktop framework's activation notifications on the
// foundation's default notification centre, from Qt's application state: "will become active"
// when the application turns active (one of its windows gets the focus), "did resign active" when
// it stops being active (the focus went to another application, or every window went away).
// Qt reports the new state only after the change, so "will become active" arrives as the
// application is already active; nothing here depends on the difference.
//
// appkit::Application keeps one for its lifetime; a process that runs its own QApplication (tests)
// may make one. The notifications carry no sender and are posted on the main thread.
#include <memory>

class QObject;

namespace appkit {

// Names of the two notifications.
inline constexpr const char* kApplicationWillBecomeActiveNotification = "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification = "NSApplicationDidResignActiveNotification";

class ApplicationActivation {
 public:
  // Starts following the state of the Qt application, which must exist, taking its current state
  // as the starting point (nothing is posted for it). Main thread only.
  ApplicationActivation();
  // Stops following; nothing is posted afterwards.
  ~ApplicationActivation();
  ApplicationActivation(const ApplicationActivation&) = delete;
  ApplicationActivation& operator=(const ApplicationActivation&) = delete;

  // Whether the application was active at the last state change seen. Main thread only.
  bool isActive() const { return active_; }

 private:
  std::unique_ptr<QObject> context_;
  bool active_ = false;
};

}  // namespace appkit
