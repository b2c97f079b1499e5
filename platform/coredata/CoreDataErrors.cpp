#include "platform/coredata/CoreDataErrors.h"

namespace coredata {

foundation::Error coreDataError(long code, const std::string& description, foundation::Dictionary extraUserInfo) {
  foundation::Dictionary userInfo = std::move(extraUserInfo);
  userInfo.set(foundation::kLocalizedDescriptionKey, description);
  return foundation::Error(foundation::kCocoaErrorDomain, code, std::move(userInfo));
}

}  // namespace coredata
