#pragma once
// UserNotificationCenterDelegate is told by the notification centre what happens to the
// notifications it delivers. Every operation is optional: the defaults present the notification
// and ignore the rest. The centre holds its delegate weakly and calls it on the main thread only.
#include <memory>

namespace appkit {

class UserNotification;
class UserNotificationCenter;

class UserNotificationCenterDelegate {
 public:
  virtual ~UserNotificationCenterDelegate() = default;

  // Asked before the notification is handed to the desktop; false keeps it off the screen (it is
  // still delivered and listed). The desktop cannot tell us whether we are frontmost, so the
  // default shows it, as the platform does for an application in the background.
  virtual bool shouldPresentNotification(UserNotificationCenter& center,
                                         const std::shared_ptr<UserNotification>& notification) {
    (void)center;
    (void)notification;
    return true;
  }
  // Told once the notification has been delivered (its `delivered` flag is then set).
  virtual void didDeliverNotification(UserNotificationCenter& center,
                                      const std::shared_ptr<UserNotification>& notification) {
    (void)center;
    (void)notification;
  }
  // Told when the user activates a notification this centre delivered; its `activationType`
  // says how (ContentsClicked for the body, ActionButtonClicked for the action button).
  virtual void didActivateNotification(UserNotificationCenter& center,
                                       const std::shared_ptr<UserNotification>& notification) {
    (void)center;
    (void)notification;
  }
};

}  // namespace appkit
