#include "net/callbacks/RLLocalizedString.h"

#include "platform/foundation/Bundle.h"

std::string RLLocalizedString(const std::string& key) {
  return foundation::Bundle::mainBundle()->localizedStringForKey(key, "", "Relay");
}
