#pragma once
// RLNetworkReachabilityManager watches whether a host, an address or the network as a whole can
// be reached. While monitoring it turns each report of the platform's reachability target into a
// status, keeps the latest as an observable property, calls the owner's status block and posts
// RLNetworkingReachabilityDidChangeNotification, all on the main queue. Every URL session
// manager holds the shared instance but never starts it; monitoring begins only when an owner
// calls startMonitoring.
//
// The status is written only on the main thread and may be read from any thread; the other
// operations are thread-safe too.
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/reachability/Flags.h"
#include "platform/reachability/Target.h"

enum RLNetworkReachabilityStatus : long {
  RLNetworkReachabilityStatusUnknown = -1,  // before the first report
  RLNetworkReachabilityStatusNotReachable = 0,
  RLNetworkReachabilityStatusReachableViaWWAN = 1,  // never reported on this platform
  RLNetworkReachabilityStatusReachableViaWiFi = 2,
};

// Posted on the main queue at every report, with no object and the status (a number) under
// RLNetworkingReachabilityNotificationStatusItem.
inline constexpr const char* RLNetworkingReachabilityDidChangeNotification = "com.relay.networking.reachability.change";
inline constexpr const char* RLNetworkingReachabilityNotificationStatusItem = "RLNetworkingReachabilityNotificationStatusItem";

// "Unknown", "Not Reachable", "Reachable via WWAN" or "Reachable via WiFi" from the "Relay"
// string table ("Unknown" for any other value). Thread-safe.
std::string RLStringFromNetworkReachabilityStatus(long status);

class RLNetworkReachabilityManager : public std::enable_shared_from_this<RLNetworkReachabilityManager> {
 public:
  using StatusBlock = std::function<void(RLNetworkReachabilityStatus status)>;

  // The process-wide manager for the network as a whole, made on first call and kept for the
  // process's life; not monitoring until someone starts it. Thread-safe.
  static std::shared_ptr<RLNetworkReachabilityManager> sharedManager();
  // A new manager for the network as a whole (the IPv4 address 0.0.0.0, port 0).
  static std::shared_ptr<RLNetworkReachabilityManager> manager();
  // A new manager for a host name. An empty name gets no target: such a manager never reports.
  static std::shared_ptr<RLNetworkReachabilityManager> managerForDomain(const std::string& domain);
  // A new manager for an IPv4 or IPv6 socket address; other families get no target, as above.
  static std::shared_ptr<RLNetworkReachabilityManager> managerForAddress(const sockaddr* address);
  // A new manager over `reachability` (null allowed: no target); status Unknown. There is no
  // manager without this choice, so no default constructor.
  static std::shared_ptr<RLNetworkReachabilityManager> initWithReachability(std::shared_ptr<reachability::Target> reachability);

  // Stops monitoring, so no callback outlives the manager.
  ~RLNetworkReachabilityManager();
  RLNetworkReachabilityManager(const RLNetworkReachabilityManager&) = delete;
  RLNetworkReachabilityManager& operator=(const RLNetworkReachabilityManager&) = delete;

  RLNetworkReachabilityStatus networkReachabilityStatus() const { return status_.load(); }
  bool isReachable() const { return isReachableViaWWAN() || isReachableViaWiFi(); }
  bool isReachableViaWWAN() const { return networkReachabilityStatus() == RLNetworkReachabilityStatusReachableViaWWAN; }
  bool isReachableViaWiFi() const { return networkReachabilityStatus() == RLNetworkReachabilityStatusReachableViaWiFi; }
  const std::shared_ptr<reachability::Target>& networkReachability() const { return reachability_; }
  // RLStringFromNetworkReachabilityStatus of the current status.
  std::string localizedNetworkReachabilityStatusString() const;

  // The owner's block, called on the main queue after each status update; empty for none.
  void setReachabilityStatusChangeBlock(StatusBlock block);
  StatusBlock networkReachabilityStatusBlock() const;

  // Starts (or restarts) monitoring: schedules the target's callbacks on the main queue and reads
  // the current flags once in the background, reporting them unless a callback reported since
  // the read began (a late first read never overwrites a newer status). Without a target it does
  // nothing.
  void startMonitoring();
  // Unschedules the target; once it returns no callback of the target runs. Reports already on
  // the main queue still arrive. The status keeps its last value.
  void stopMonitoring();

  // The status for a flag word: reachable via WiFi when the reachable bit is set and either no
  // connection is required or one can be made automatically without the user; else not reachable.
  static RLNetworkReachabilityStatus statusForFlags(reachability::Flags flags);

  // Observers of "networkReachabilityStatus", "reachable", "reachableViaWWAN" and
  // "reachableViaWiFi" register here; all four are announced when the status changes.
  foundation::KeyValueObserving& observing() { return observing_; }
  // {"networkReachabilityStatus"} for the three derived keys, nothing for any other.
  static std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key);

 private:
  struct Monitor;
  explicit RLNetworkReachabilityManager(std::shared_ptr<reachability::Target> reachability);
  static void callback(reachability::Target& target, reachability::Flags flags, void* info);
  void setStatus(RLNetworkReachabilityStatus status);

  const std::shared_ptr<reachability::Target> reachability_;
  std::atomic<RLNetworkReachabilityStatus> status_{RLNetworkReachabilityStatusUnknown};
  mutable std::mutex mutex_;
  StatusBlock statusBlock_;
  // Counts callback reports and starts; a first read reports only if it has not moved meanwhile.
  const std::shared_ptr<std::atomic<std::uint64_t>> reportGeneration_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  foundation::KeyValueObserving observing_;
};
