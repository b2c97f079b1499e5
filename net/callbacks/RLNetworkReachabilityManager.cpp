#include "net/callbacks/RLNetworkReachabilityManager.h"

#include <netinet/in.h>

#include <mutex>

#include "net/callbacks/RLLocalizedString.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"

using foundation::Value;

namespace {

const std::string kStatusKey = "networkReachabilityStatus";
const std::string kDerivedKeys[] = {"reachable", "reachableViaWWAN", "reachableViaWiFi"};

using MonitoringBlock = std::function<void(RLNetworkReachabilityStatus)>;

// Runs the monitoring block and posts the notification, on the main queue. A first read passes
// the generation it saw: it is dropped when that moved on meanwhile, since a callback (or a new
// start) has reported something newer.
void report(RLNetworkReachabilityStatus status, MonitoringBlock block,
            std::shared_ptr<std::atomic<std::uint64_t>> generation, std::uint64_t seen) {
  dispatch::mainQueue()->async([status, block = std::move(block), generation = std::move(generation), seen] {
    if (generation && generation->load() != seen) return;
    if (block) block(status);
    foundation::NotificationCenter::defaultCenter().post(
        RLNetworkingReachabilityDidChangeNotification, nullptr,
        foundation::Dictionary{{RLNetworkingReachabilityNotificationStatusItem, Value(static_cast<long>(status))}});
  });
}

}  // namespace

// What the target keeps as its callback context: the monitoring block and the generation that
// its callbacks advance.
struct RLNetworkReachabilityManager::Monitor {
  MonitoringBlock block;
  std::shared_ptr<std::atomic<std::uint64_t>> generation;

  static const void* retain(const void* info) { return new Monitor(*static_cast<const Monitor*>(info)); }
  static void release(const void* info) { delete static_cast<const Monitor*>(info); }
};

std::string RLStringFromNetworkReachabilityStatus(long status) {
  switch (status) {
    case RLNetworkReachabilityStatusNotReachable: return RLLocalizedString("Not Reachable");
    case RLNetworkReachabilityStatusReachableViaWWAN: return RLLocalizedString("Reachable via WWAN");
    case RLNetworkReachabilityStatusReachableViaWiFi: return RLLocalizedString("Reachable via WiFi");
    default: return RLLocalizedString("Unknown");
  }
}

RLNetworkReachabilityManager::RLNetworkReachabilityManager(std::shared_ptr<reachability::Target> reachability)
    : reachability_(std::move(reachability)), observing_([this](const std::string& key) -> Value {
        if (key == kStatusKey) return Value(static_cast<long>(networkReachabilityStatus()));
        if (key == "reachable") return Value(isReachable());
        if (key == "reachableViaWWAN") return Value(isReachableViaWWAN());
        if (key == "reachableViaWiFi") return Value(isReachableViaWiFi());
        return Value();
      }) {}

RLNetworkReachabilityManager::~RLNetworkReachabilityManager() { stopMonitoring(); }

std::shared_ptr<RLNetworkReachabilityManager> RLNetworkReachabilityManager::initWithReachability(
    std::shared_ptr<reachability::Target> reachability) {
  return std::shared_ptr<RLNetworkReachabilityManager>(new RLNetworkReachabilityManager(std::move(reachability)));
}

std::shared_ptr<RLNetworkReachabilityManager> RLNetworkReachabilityManager::sharedManager() {
  static std::once_flag once;
  static std::shared_ptr<RLNetworkReachabilityManager> shared;
  std::call_once(once, [] { shared = manager(); });
  return shared;
}

std::shared_ptr<RLNetworkReachabilityManager> RLNetworkReachabilityManager::manager() {
  // The zero address stands for the network in general.
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = 0;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  return managerForAddress(reinterpret_cast<const sockaddr*>(&any));
}

std::shared_ptr<RLNetworkReachabilityManager> RLNetworkReachabilityManager::managerForDomain(const std::string& domain) {
  return initWithReachability(reachability::Target::createWithName(domain));
}

std::shared_ptr<RLNetworkReachabilityManager> RLNetworkReachabilityManager::managerForAddress(const sockaddr* address) {
  return initWithReachability(reachability::Target::createWithAddress(address));
}

std::string RLNetworkReachabilityManager::localizedNetworkReachabilityStatusString() const {
  return RLStringFromNetworkReachabilityStatus(networkReachabilityStatus());
}

void RLNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
  std::lock_guard lock(mutex_);
  statusBlock_ = std::move(block);
}

RLNetworkReachabilityManager::StatusBlock RLNetworkReachabilityManager::networkReachabilityStatusBlock() const {
  std::lock_guard lock(mutex_);
  return statusBlock_;
}

RLNetworkReachabilityStatus RLNetworkReachabilityManager::statusForFlags(reachability::Flags flags) {
  const bool reachable = flags & reachability::kReachable;
  const bool needsConnection = flags & reachability::kConnectionRequired;
  const bool canConnectAutomatically = flags & (reachability::kConnectionOnDemand | reachability::kConnectionOnTraffic);
  const bool canConnectWithoutUser = canConnectAutomatically && !(flags & reachability::kInterventionRequired);
  const bool isReachable = reachable && (!needsConnection || canConnectWithoutUser);
  return isReachable ? RLNetworkReachabilityStatusReachableViaWiFi : RLNetworkReachabilityStatusNotReachable;
}

std::vector<std::string> RLNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey(const std::string& key) {
  for (const auto& derived : kDerivedKeys) {
    if (key == derived) return {kStatusKey};
  }
  return {};
}

void RLNetworkReachabilityManager::setStatus(RLNetworkReachabilityStatus status) {
  observing_.willChangeValueForKey(kStatusKey);
  for (const auto& derived : kDerivedKeys) observing_.willChangeValueForKey(derived);
  status_.store(status);
  observing_.didChangeValueForKey(kStatusKey);
  for (const auto& derived : kDerivedKeys) observing_.didChangeValueForKey(derived);
}

void RLNetworkReachabilityManager::callback(reachability::Target&, reachability::Flags flags, void* info) {
  const auto* monitor = static_cast<const Monitor*>(info);
  // Every callback reports; moving the generation only stops a first read still on its way.
  monitor->generation->fetch_add(1);
  report(statusForFlags(flags), monitor->block, nullptr, 0);
}

void RLNetworkReachabilityManager::startMonitoring() {
  stopMonitoring();
  if (!reachability_) return;

  std::weak_ptr<RLNetworkReachabilityManager> weak = weak_from_this();
  Monitor monitor{[weak](RLNetworkReachabilityStatus status) {
                    auto self = weak.lock();
                    if (!self) return;
                    self->setStatus(status);
                    if (auto block = self->networkReachabilityStatusBlock()) block(status);
                  },
                  reportGeneration_};
  reachability::Context context;
  context.info = &monitor;
  context.retain = &Monitor::retain;
  context.release = &Monitor::release;
  reachability_->setCallback(&RLNetworkReachabilityManager::callback, &context);
  reachability_->scheduleWithMainRunLoop();

  // A report still queued from an earlier start must not land after this one's.
  const std::uint64_t seen = reportGeneration_->fetch_add(1) + 1;
  dispatch::Queue::global(dispatch::GlobalPriority::Background)
      ->async([target = reachability_, block = monitor.block, generation = reportGeneration_, seen] {
        if (generation->load() != seen) return;  // a callback already reported
        if (const auto flags = target->getFlags()) report(statusForFlags(*flags), block, generation, seen);
      });
}

void RLNetworkReachabilityManager::stopMonitoring() {
  if (reachability_) reachability_->unscheduleFromMainRunLoop();
}
