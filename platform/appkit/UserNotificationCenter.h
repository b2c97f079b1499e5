#pragma once
// UserNotificationCenter stands in for the platform's user-notification centre: it shows
// UserNotifications on the desktop through org.freedesktop.Notifications, keeps the ones it
// delivered, and tells its delegate when the user activates one (the body, or the action button).
//
// Only notices this centre sent are ever reported; signals for other ids are ignored. Without a
// session bus, without the service, or with a service that shows no actions, it logs one line and
// goes on (the notice is then shown without buttons, or not at all). Nothing here blocks for
// long: D-Bus calls are asynchronous with a short timeout.
//
// Left out: scheduled notifications, replies, additional actions, sounds and images; the desktop
// offers no labelled close button, so otherButtonTitle is not shown.
//
// Threads: create, use and destroy a centre on the main thread, which must run the Qt event loop
// (in the application, with QtMainLoopDriver installed); delegate calls come on that thread.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/UserNotification.h"
#include "platform/appkit/UserNotificationCenterDelegate.h"

namespace appkit {

class FreedesktopNotifications;

class UserNotificationCenter {
 public:
  // The process's centre, on the session bus, made on first use (a Qt application must exist by
  // then). Lives until the process ends. Main thread only.
  static UserNotificationCenter& defaultUserNotificationCenter();

  // A centre on the bus at `busAddress`, or on the session bus when it is empty.
  explicit UserNotificationCenter(const std::string& busAddress = {});
  ~UserNotificationCenter();
  UserNotificationCenter(const UserNotificationCenter&) = delete;
  UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

  // The delegate, held weakly: it is told nothing once its owner has let it go.
  void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<UserNotificationCenterDelegate> delegate() const { return delegate_.lock(); }

  // Shows `notification` now (null is ignored). Returns at once; once the desktop has accepted
  // it, it is listed in deliveredNotifications(), its `delivered` flag is set and the delegate's
  // didDeliverNotification runs. When the delegate declines to present it, it is delivered
  // without being shown. When it cannot be shown, one line is logged and it is not delivered.
  // Delivering a notification again replaces its earlier showing.
  void deliverNotification(std::shared_ptr<UserNotification> notification);
  // Takes `notification` off the desktop and out of the list; unknown ones are ignored.
  void removeDeliveredNotification(const std::shared_ptr<UserNotification>& notification);
  // The delivered notifications still on the desktop, oldest first. A notification the user or
  // the desktop closed leaves the list.
  std::vector<std::shared_ptr<UserNotification>> deliveredNotifications() const;

 private:
  void delivered(const std::shared_ptr<UserNotification>& notification, std::uint32_t id);
  void actionInvoked(std::uint32_t id, const std::string& actionKey);
  void closed(std::uint32_t id);
  void forget(const std::shared_ptr<UserNotification>& notification);

  std::unique_ptr<FreedesktopNotifications> desktop_;
  std::weak_ptr<UserNotificationCenterDelegate> delegate_;
  // The notices on the desktop by the service's id, and every delivered one in order (those not
  // presented have no id).
  std::map<std::uint32_t, std::shared_ptr<UserNotification>> shown_;
  std::vector<std::shared_ptr<UserNotification>> delivered_;
  // Ties pending deliveries to this centre, so a completion after destruction does nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace appkit
