#include "net/callbacks/RLResponseLocalizedString.h"

#include "platform/foundation/Bundle.h"

std::string RLResponseLocalizedString(const std::string& key) {
  return foundation::Bundle::mainBundle()->localizedStringForKey(key, "", "Relay");
}
