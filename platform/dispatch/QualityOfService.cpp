#include "platform/dispatch/QualityOfService.h"

namespace dispatch {

QualityOfService qualityOfServiceFor(GlobalPriority priority) {
  switch (priority) {
    case GlobalPriority::High: return QualityOfService::UserInitiated;
    case GlobalPriority::Default: return QualityOfService::Default;
    case GlobalPriority::Low: return QualityOfService::Utility;
    case GlobalPriority::Background: return QualityOfService::Background;
  }
  return QualityOfService::Default;
}

const char* nameOf(QualityOfService qos) {
  switch (qos) {
    case QualityOfService::Unspecified: return "unspecified";
    case QualityOfService::Background: return "background";
    case QualityOfService::Utility: return "utility";
    case QualityOfService::Default: return "default";
    case QualityOfService::UserInitiated: return "user-initiated";
    case QualityOfService::UserInteractive: return "user-interactive";
  }
  return "default";
}

}  // namespace dispatch
