#include "app/RefreshNotifier.h"

#include "app/AdministratorRun.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/UserNotificationCenter.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UUID.h"

namespace app {

RefreshNotifier::RefreshNotifier(appkit::UserNotificationCenter& center, Hooks hooks)
    : center_(center), hooks_(std::move(hooks)) {}

std::string RefreshNotifier::subtitleFor(int updatedCount) {
  if (updatedCount == 1) return "One remote hostfile updated.";
  return std::to_string(updatedCount) + " remote hostfiles updated.";
}

std::shared_ptr<appkit::UserNotification> RefreshNotifier::makeNotification(int updatedCount) {
  auto notification = std::make_shared<appkit::UserNotification>();
  notification->identifier = foundation::UUID().UUIDString();
  notification->title = kTitle;
  notification->subtitle = subtitleFor(updatedCount);
  notification->informativeText = kInformativeText;
  notification->hasActionButton = true;
  notification->actionButtonTitle = kActionButtonTitle;
  return notification;
}

std::shared_ptr<appkit::UserNotification> RefreshNotifier::notifyUpdated(int updatedCount) {
  if (updatedCount < 1) return nullptr;
  auto notification = makeNotification(updatedCount);
  sentIdentifiers_.insert(notification->identifier);
  center_.deliverNotification(notification);
  return notification;
}

bool RefreshNotifier::shouldPresentNotification(appkit::UserNotificationCenter&,
                                                const std::shared_ptr<appkit::UserNotification>&) {
  // Shown even while the application is frontmost.
  return true;
}

void RefreshNotifier::didActivateNotification(appkit::UserNotificationCenter&,
                                              const std::shared_ptr<appkit::UserNotification>& notification) {
  if (!notification || !sentIdentifiers_.contains(notification->identifier)) return;
  if (notification->activationType != appkit::UserNotificationActivationType::ActionButtonClicked) return;
  apply();
}

void RefreshNotifier::apply() {
  if (AdministratorRun::isRunning()) {
    foundation::logMessage("The notice's Apply came while a privileged run was under way; nothing was applied.");
    return;
  }
  if (hooks_.beforeApply) hooks_.beforeApply();
  std::weak_ptr<int> alive = lifetime_;
  AdministratorRun::apply([this, alive](const std::optional<foundation::Error>& error) {
    if (!error) return;
    foundation::logf("Applying from the refresh notification failed: %@", error->localizedDescription());
    if (alive.expired()) return;
    appkit::Alert alert;
    alert.setMessageText(kApplyFailedMessage);
    alert.setInformativeText(error->localizedDescription());
    alert.addButtonWithTitle("OK");
    alert.beginSheetModalForWindow(hooks_.sheetWindow ? hooks_.sheetWindow() : nullptr, [](long) {});
  });
}

}  // namespace app
