#include "platform/appkit/UserNotificationCenter.h"

#include <algorithm>

#include "platform/appkit/FreedesktopNotifications.h"

namespace appkit {
namespace {

std::string bodyOf(const UserNotification& n) {
  if (n.subtitle.empty()) return n.informativeText;
  if (n.informativeText.empty()) return n.subtitle;
  return n.subtitle + "\n" + n.informativeText;
}

}  // namespace

UserNotificationCenter& UserNotificationCenter::defaultUserNotificationCenter() {
  // Never destroyed: Qt's D-Bus machinery is gone by the time static destructors run.
  static UserNotificationCenter* center = new UserNotificationCenter();
  return *center;
}

UserNotificationCenter::UserNotificationCenter(const std::string& busAddress)
    : desktop_(std::make_unique<FreedesktopNotifications>(busAddress)) {
  desktop_->onActionInvoked = [this](std::uint32_t id, const std::string& key) { actionInvoked(id, key); };
  desktop_->onClosed = [this](std::uint32_t id) { closed(id); };
}

UserNotificationCenter::~UserNotificationCenter() = default;

void UserNotificationCenter::deliverNotification(std::shared_ptr<UserNotification> notification) {
  if (!notification) return;
  removeDeliveredNotification(notification);
  notification->delivered = false;
  notification->activationType = UserNotificationActivationType::None;
  auto delegate = delegate_.lock();
  if (delegate && !delegate->shouldPresentNotification(*this, notification)) {
    delivered(notification, 0);
    return;
  }
  FreedesktopNotifications::Notice notice{notification->title, bodyOf(*notification), std::nullopt};
  if (notification->hasActionButton) notice.actionButtonTitle = notification->actionButtonTitle;
  std::weak_ptr<bool> alive = alive_;
  desktop_->notify(notice, [this, alive, notification](std::optional<std::uint32_t> id) {
    if (alive.expired() || !id) return;
    delivered(notification, *id);
  });
}

void UserNotificationCenter::delivered(const std::shared_ptr<UserNotification>& notification,
                                       std::uint32_t id) {
  // Id 0 is never handed out by the service; it marks a notice kept off the screen.
  if (id != 0) shown_[id] = notification;
  delivered_.push_back(notification);
  notification->delivered = true;
  if (auto delegate = delegate_.lock()) delegate->didDeliverNotification(*this, notification);
}

void UserNotificationCenter::removeDeliveredNotification(const std::shared_ptr<UserNotification>& notification) {
  for (auto it = shown_.begin(); it != shown_.end(); ++it) {
    if (it->second != notification) continue;
    desktop_->close(it->first);
    break;
  }
  forget(notification);
}

void UserNotificationCenter::forget(const std::shared_ptr<UserNotification>& notification) {
  std::erase_if(shown_, [&](const auto& entry) { return entry.second == notification; });
  std::erase(delivered_, notification);
}

std::vector<std::shared_ptr<UserNotification>> UserNotificationCenter::deliveredNotifications() const {
  return delivered_;
}

void UserNotificationCenter::actionInvoked(std::uint32_t id, const std::string& actionKey) {
  auto found = shown_.find(id);
  if (found == shown_.end()) return;
  UserNotificationActivationType type;
  if (actionKey == FreedesktopNotifications::kActionButtonKey) {
    type = UserNotificationActivationType::ActionButtonClicked;
  } else if (actionKey == FreedesktopNotifications::kDefaultActionKey) {
    type = UserNotificationActivationType::ContentsClicked;
  } else {
    return;  // not a key we offered
  }
  std::shared_ptr<UserNotification> notification = found->second;
  notification->activationType = type;
  if (auto delegate = delegate_.lock()) delegate->didActivateNotification(*this, notification);
}

void UserNotificationCenter::closed(std::uint32_t id) {
  auto found = shown_.find(id);
  if (found == shown_.end()) return;
  // A copy: forget() erases the entry that found->second lives in.
  std::shared_ptr<UserNotification> notification = found->second;
  forget(notification);
}

}  // namespace appkit
