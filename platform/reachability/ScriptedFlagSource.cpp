#include "platform/reachability/ScriptedFlagSource.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace reachability {

void ScriptedFlagSource::setFlags(const std::string& key, std::optional<Flags> flags) {
  {
    std::lock_guard lock(mutex_);
    flags_[key] = flags;
  }
  changed();
}

void ScriptedFlagSource::setDefaultFlags(std::optional<Flags> flags) {
  {
    std::lock_guard lock(mutex_);
    default_ = flags;
  }
  changed();
}

std::optional<Flags> ScriptedFlagSource::flagsForAddress(const sockaddr_storage& address) {
  return lookup(keyFor(address));
}

std::optional<Flags> ScriptedFlagSource::flagsForHostName(const std::string& hostName) { return lookup(hostName); }

void ScriptedFlagSource::setChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::string ScriptedFlagSource::keyFor(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
  }
  return text;
}

std::optional<Flags> ScriptedFlagSource::lookup(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = flags_.find(key);
  return it != flags_.end() ? it->second : default_;
}

void ScriptedFlagSource::changed() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (handler) handler();
}

}  // namespace reachability
