#pragma once
// RefreshNotifier tells the user that a refresh of the remote hostfiles changed some of them, with
// a desktop notification that offers to apply the changes, and answers the notification centre
// as its delegate: every notice is presented, and the "Apply" button of a notice it sent applies
// the hostfiles (no syntax check, no analytics event) through AdministratorRun, unless a
// privileged run is under way already. Choosing the notice's body does nothing. An apply that
// fails is shown in an alert instead of being lost.
//
// Main thread only. Share it through std::shared_ptr: the centre holds its delegate weakly.
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "app/ApplyActions.h"
#include "platform/appkit/UserNotification.h"
#include "platform/appkit/UserNotificationCenterDelegate.h"

class QWidget;

namespace appkit {
class UserNotificationCenter;
}

namespace app {

class RefreshNotifier : public appkit::UserNotificationCenterDelegate {
 public:
  static constexpr const char* kTitle = "Remote Hostfiles Updated";
  static constexpr const char* kInformativeText = "Apply your changes now.";
  static constexpr const char* kActionButtonTitle = "Apply";
  // The same message as a failed apply from the main window.
  static constexpr const char* kApplyFailedMessage = ApplyActions::kApplyFailedMessage;

  // What the notifier needs from the application: the window an apply error is shown on (null
  // shows it on its own), and work to do right before applying (saving the edits, say).
  struct Hooks {
    std::function<QWidget*()> sheetWindow;
    std::function<void()> beforeApply;
  };

  // Delivers through `center`, which must outlive this notifier. Does not make itself the centre's
  // delegate; the owner does that (it needs the shared pointer).
  RefreshNotifier(appkit::UserNotificationCenter& center, Hooks hooks);

  // "One remote hostfile updated." for 1, else the count in digits and " remote hostfiles updated.".
  static std::string subtitleFor(int updatedCount);
  // The notice of a refresh that updated `updatedCount` hostfiles, with a new UUID identifier.
  static std::shared_ptr<appkit::UserNotification> makeNotification(int updatedCount);

  // Builds the notice for `updatedCount` (nothing below 1), remembers its identifier as ours and
  // delivers it. Returns the notice, or null when none was due. Delivery problems (no bus, no
  // notification server) are logged by the centre and never reported here.
  std::shared_ptr<appkit::UserNotification> notifyUpdated(int updatedCount);

  bool shouldPresentNotification(appkit::UserNotificationCenter& center,
                                 const std::shared_ptr<appkit::UserNotification>& notification) override;
  // Applies only for the action button of a notice this notifier sent.
  void didActivateNotification(appkit::UserNotificationCenter& center,
                               const std::shared_ptr<appkit::UserNotification>& notification) override;

 private:
  void apply();

  appkit::UserNotificationCenter& center_;
  Hooks hooks_;
  std::set<std::string> sentIdentifiers_;
  // Held by this notifier only; an apply's completion holds it weakly and shows nothing once the
  // notifier is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace app
