#pragma once
// FlagSource is where reachability targets get their flags from: the system source (rtnetlink on
// Linux) in the program, a scripted one in tests. One source serves the whole process; replacing
// it makes every scheduled target re-read its flags.
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/reachability/Flags.h"

namespace reachability {

class FlagSource {
 public:
  virtual ~FlagSource() = default;

  // The flags for a socket address target, or nullopt when they cannot be determined. Must answer
  // without waiting on the network. Thread-safe.
  virtual std::optional<Flags> flagsForAddress(const sockaddr_storage& address) = 0;
  // The flags for a host-name target; nullopt while the name is still being resolved (the source
  // then reports a change once it knows). Must not block on resolution. Thread-safe.
  virtual std::optional<Flags> flagsForHostName(const std::string& hostName) = 0;
  // Sets the function the source calls, from any thread, whenever flags may have changed; an empty
  // function stops it. The source starts watching the system when the first one is set.
  virtual void setChangeHandler(std::function<void()> handler) = 0;
};

// The process's source: the system one unless a test installed another.
std::shared_ptr<FlagSource> currentFlagSource();
// Installs `source` for the whole process (null restores the system source) and makes every
// scheduled target re-read its flags. Thread-safe.
void setFlagSource(std::shared_ptr<FlagSource> source);
// The system source, created on first use.
std::shared_ptr<FlagSource> systemFlagSource();

}  // namespace reachability
