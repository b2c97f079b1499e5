#pragma once
// UserNotification is one notice shown to the user by the notification centre: its texts, its
// optional action button, a caller-chosen identifier and user-info, and, once delivered and
// acted on, how the user activated it.
//
// A plain value holder; share it through std::shared_ptr so the centre and its delegate see the
// same object. Not thread-safe: touch it on the main thread once it has been delivered.
#include <string>

#include "platform/foundation/Value.h"

namespace appkit {

// How the user activated a notification; the numbers are the platform's own.
enum class UserNotificationActivationType : int {
  None = 0,
  ContentsClicked = 1,
  ActionButtonClicked = 2,
  Replied = 3,
  AdditionalActionClicked = 4,
};

class UserNotification {
 public:
  std::string title;
  std::string subtitle;
  std::string informativeText;
  bool hasActionButton = false;
  std::string actionButtonTitle = "Show";
  // The desktop's notification servers have no labelled close button; kept for callers, unused.
  std::string otherButtonTitle = "Close";
  std::string identifier;
  foundation::Dictionary userInfo;

  // Set by the centre when the user activates the notification; None until then.
  UserNotificationActivationType activationType = UserNotificationActivationType::None;
  // Set by the centre once the notification server has accepted it.
  bool delivered = false;
};

}  // namespace appkit
