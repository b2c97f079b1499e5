#pragma once
// TL_Reachability watches whether the internet can be reached and posts
// kTLReachabilityChangedNotification on the main thread when its notifier starts and on every
// change, with itself as the sender. The ingestions and the HTTP client each own one; they observe
// the notification and ask their own watcher for the status.
//
// Start and stop run on the main thread: at once when called there, else queued on the main
// queue. Destruction unschedules synchronously on whatever thread it happens, so no change
// callback reaches a watcher that is gone.
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/reachability/Flags.h"

namespace reachability {
class Target;
}

// The notification's name.
inline constexpr const char* kTLReachabilityChangedNotification = "kTLNetworkReachabilityChangedNotification";

// What a watcher reports: there is no distinction between kinds of network.
enum TLNetworkStatus : std::int64_t {
  TLNetworkStatusNotReachable = 0,
  TLNetworkStatusReachable = 1,
};

class TL_Reachability : public foundation::Object, public std::enable_shared_from_this<TL_Reachability> {
 public:
  // A watcher for a host name (UTF-8); null when no target can be made for it.
  static std::shared_ptr<TL_Reachability> reachabilityWithHostName(const std::string& hostName);
  // A watcher for an IPv4 or IPv6 socket address; null for other families or no address.
  static std::shared_ptr<TL_Reachability> reachabilityWithAddress(const sockaddr* address);
  // A watcher for the internet in general (the address 0.0.0.0, port 0).
  static std::shared_ptr<TL_Reachability> reachabilityForInternetConnection();
  ~TL_Reachability() override;
  TL_Reachability(const TL_Reachability&) = delete;
  TL_Reachability& operator=(const TL_Reachability&) = delete;

  // Starts change notifications and posts one notification at once, whatever the status. A
  // failed registration posts nothing. Thread-safe (see the class comment for where it runs).
  void startNotifier();
  // Stops change notifications. Thread-safe.
  void stopNotifier();

  // The status now; unreadable flags read as not reachable. Thread-safe.
  TLNetworkStatus currentReachabilityStatus() const;
  // The status `flags` mean: reachable, and either no connection is required or one is made
  // automatically without the user's intervention.
  static TLNetworkStatus networkStatusForFlags(reachability::Flags flags);
  // Whether the flags can be read and say a connection must first be made. Thread-safe.
  bool connectionRequired() const;

  // The watched target; shared with no one else.
  const std::shared_ptr<reachability::Target>& reachabilityRef() const { return target_; }

 private:
  explicit TL_Reachability(std::shared_ptr<reachability::Target> target);
  static void changed(reachability::Target& target, reachability::Flags flags, void* info);
  void startOnMainThread();
  void stopOnMainThread();
  void post();

  const std::shared_ptr<reachability::Target> target_;
};
