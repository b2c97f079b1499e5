#pragma once
// Target stands in for the platform's network reachability target: a host name or a socket
// address whose reachability flags can be read, with a callback (and a context) run on a dispatch
// queue whenever the flags change while the target is scheduled.
//
// On Linux the flags come from the process's FlagSource (see FlagSource.h). Scheduling on "the
// main run loop" is scheduling on the main dispatch queue, which that loop drains. Sounder than
// the platform on one point: unscheduling is synchronous, so once setDispatchQueue(nullptr)
// returns no callback runs or is running on another thread; and a target that goes away stops
// its callbacks first.
#include <sys/socket.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/reachability/Flags.h"

namespace dispatch {
class Queue;
}

namespace reachability {

// The platform's callback context: `info` is handed to the callback; `retain` (if set) is called
// on it when the target takes the context and `release` when it lets go of it.
struct Context {
  long version = 0;
  void* info = nullptr;
  const void* (*retain)(const void* info) = nullptr;
  void (*release)(const void* info) = nullptr;
};

class Target;
using Callback = void (*)(Target& target, Flags flags, void* info);

class Target : public std::enable_shared_from_this<Target> {
 public:
  // A target for a host name (UTF-8). Null for an empty name. Returns at once: resolution, when
  // the system source needs it, runs in the background.
  static std::shared_ptr<Target> createWithName(const std::string& hostName);
  // A target for an IPv4 or IPv6 socket address (0.0.0.0:0 stands for "any network"). Null for
  // other families or a null address.
  static std::shared_ptr<Target> createWithAddress(const sockaddr* address);
  ~Target();
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  // The current flags, or nullopt when they cannot be determined (a name still resolving).
  // Never waits on the network. Thread-safe.
  std::optional<Flags> getFlags() const;

  // Sets (or, with a null callback, clears) the callback and its context, releasing the previous
  // context. Returns true. Thread-safe.
  bool setCallback(Callback callback, const Context* context);
  // Schedules change callbacks on `queue`, replacing an earlier queue; null unschedules (see the
  // class comment). Returns true. Thread-safe; unscheduling from inside a callback is allowed.
  bool setDispatchQueue(std::shared_ptr<dispatch::Queue> queue);
  // The run-loop forms of the same, for the main run loop.
  bool scheduleWithMainRunLoop();
  bool unscheduleFromMainRunLoop();

  bool isHostName() const { return !hostName_.empty(); }
  const std::string& hostName() const { return hostName_; }
  const sockaddr_storage& address() const { return address_; }

  // Makes every scheduled target re-read its flags and call back when they changed. Called by
  // flag sources; thread-safe.
  static void flagsMayHaveChanged();

 private:
  Target() = default;
  void checkForChange();

  std::string hostName_;
  sockaddr_storage address_{};
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace reachability
