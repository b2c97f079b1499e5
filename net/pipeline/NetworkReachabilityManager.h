#pragma once
// NetworkReachabilityManager watches whether a host, or the network in general, can be reached.
// It answers questions about the current state on demand and, while listening, calls a listener
// on its queue whenever the reachability flags change. No request consults it.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/reachability/Flags.h"

namespace dispatch {
class Queue;
}
namespace reachability {
class Target;
}

namespace pipeline {

enum class ConnectionType { ethernetOrWiFi, wwan };

// unknown, notReachable, or reachable over a connection type.
class NetworkReachabilityStatus {
 public:
  enum class Kind { unknown, notReachable, reachable };

  static NetworkReachabilityStatus unknown() { return NetworkReachabilityStatus(Kind::unknown); }
  static NetworkReachabilityStatus notReachable() { return NetworkReachabilityStatus(Kind::notReachable); }
  static NetworkReachabilityStatus reachable(ConnectionType type) { return NetworkReachabilityStatus(Kind::reachable, type); }

  Kind kind() const { return kind_; }
  // Meaningful for reachable only.
  ConnectionType connectionType() const { return type_; }

  // Reachable values are equal when their connection types are; the other cases by case alone.
  bool operator==(const NetworkReachabilityStatus& other) const {
    if (kind_ != other.kind_) return false;
    return kind_ != Kind::reachable || type_ == other.type_;
  }

 private:
  explicit NetworkReachabilityStatus(Kind kind, ConnectionType type = ConnectionType::ethernetOrWiFi)
      : kind_(kind), type_(type) {}
  Kind kind_;
  ConnectionType type_;
};

class NetworkReachabilityManager : public std::enable_shared_from_this<NetworkReachabilityManager> {
 public:
  using Listener = std::function<void(NetworkReachabilityStatus)>;

  // The value of previousFlags before anything was reported: a bit outside the defined flags.
  static constexpr reachability::Flags kUnreportedFlags = 1u << 30;

  // A manager for a host name; null when no target can be made for it. Returns at once.
  static std::shared_ptr<NetworkReachabilityManager> create(const std::string& host);
  // A manager for the network in general (the address 0.0.0.0:0); null when no target can be made.
  static std::shared_ptr<NetworkReachabilityManager> create();
  // Stops listening first, so no platform callback outlives the manager.
  virtual ~NetworkReachabilityManager();
  NetworkReachabilityManager(const NetworkReachabilityManager&) = delete;
  NetworkReachabilityManager& operator=(const NetworkReachabilityManager&) = delete;

  // Each reads the flags afresh; callable from any thread.
  virtual bool isReachable() const;
  virtual bool isReachableOnWWAN() const;
  virtual bool isReachableOnEthernetOrWiFi() const;
  virtual NetworkReachabilityStatus networkReachabilityStatus() const;

  // Where the listener runs; the main queue at first. A change while listening takes effect at
  // the next startListening(). Thread-safe.
  virtual std::shared_ptr<dispatch::Queue> listenerQueue() const;
  virtual void setListenerQueue(std::shared_ptr<dispatch::Queue> queue);
  virtual Listener listener() const;
  virtual void setListener(Listener listener);

  // The target's current flags, or nullopt when they cannot be determined.
  virtual std::optional<reachability::Flags> flags() const;
  // The flags last reported to the listener (kUnreportedFlags before any report). Read and
  // written on the listener queue while listening.
  virtual reachability::Flags previousFlags() const;
  virtual void setPreviousFlags(reachability::Flags flags);

  // Installs the callback and schedules the target on the listener queue, then reports the
  // current status once from that queue. Returns whether both installations succeeded; the
  // report is scheduled either way.
  virtual bool startListening();
  // Removes the callback and unschedules the target; once it returns no callback runs.
  virtual void stopListening();

  // Reports `flags` to the listener unless they equal previousFlags (all bits).
  virtual void notifyListener(reachability::Flags flags);
  // notReachable unless isNetworkReachable(flags); then reachable over ethernet or Wi-Fi (no flag
  // selects WWAN here).
  virtual NetworkReachabilityStatus networkReachabilityStatusForFlags(reachability::Flags flags) const;
  // Reachable, and either no connection is required or one can be made automatically without
  // the user's intervention.
  virtual bool isNetworkReachable(reachability::Flags flags) const;

 protected:
  explicit NetworkReachabilityManager(std::shared_ptr<reachability::Target> reachability);

 private:
  static void callback(reachability::Target& target, reachability::Flags flags, void* info);

  const std::shared_ptr<reachability::Target> reachability_;
  mutable std::mutex mutex_;
  std::shared_ptr<dispatch::Queue> listenerQueue_;
  Listener listener_;
  reachability::Flags previousFlags_ = kUnreportedFlags;
};

}  // namespace pipeline
