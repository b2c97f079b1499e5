#include "net/pipeline/NetworkReachabilityManager.h"

#include <netinet/in.h>

#include "platform/dispatch/Queue.h"
#include "platform/reachability/Target.h"

namespace pipeline {

using reachability::Flags;

NetworkReachabilityManager::NetworkReachabilityManager(std::shared_ptr<reachability::Target> reachability)
    : reachability_(std::move(reachability)), listenerQueue_(dispatch::mainQueue()) {}

NetworkReachabilityManager::~NetworkReachabilityManager() { stopListening(); }

std::shared_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create(const std::string& host) {
  auto target = reachability::Target::createWithName(host);
  if (!target) return nullptr;
  return std::shared_ptr<NetworkReachabilityManager>(new NetworkReachabilityManager(std::move(target)));
}

std::shared_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create() {
  // The all-zero IPv4 address stands for the network in general.
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = 0;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  auto target = reachability::Target::createWithAddress(reinterpret_cast<const sockaddr*>(&any));
  if (!target) return nullptr;
  return std::shared_ptr<NetworkReachabilityManager>(new NetworkReachabilityManager(std::move(target)));
}

bool NetworkReachabilityManager::isReachable() const { return isReachableOnWWAN() || isReachableOnEthernetOrWiFi(); }

bool NetworkReachabilityManager::isReachableOnWWAN() const {
  return networkReachabilityStatus() == NetworkReachabilityStatus::reachable(ConnectionType::wwan);
}

bool NetworkReachabilityManager::isReachableOnEthernetOrWiFi() const {
  return networkReachabilityStatus() == NetworkReachabilityStatus::reachable(ConnectionType::ethernetOrWiFi);
}

NetworkReachabilityStatus NetworkReachabilityManager::networkReachabilityStatus() const {
  const auto current = flags();
  if (!current) return NetworkReachabilityStatus::unknown();
  return networkReachabilityStatusForFlags(*current);
}

std::shared_ptr<dispatch::Queue> NetworkReachabilityManager::listenerQueue() const {
  std::lock_guard lock(mutex_);
  return listenerQueue_;
}

void NetworkReachabilityManager::setListenerQueue(std::shared_ptr<dispatch::Queue> queue) {
  std::lock_guard lock(mutex_);
  listenerQueue_ = std::move(queue);
}

NetworkReachabilityManager::Listener NetworkReachabilityManager::listener() const {
  std::lock_guard lock(mutex_);
  return listener_;
}

void NetworkReachabilityManager::setListener(Listener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

std::optional<Flags> NetworkReachabilityManager::flags() const { return reachability_->getFlags(); }

Flags NetworkReachabilityManager::previousFlags() const {
  std::lock_guard lock(mutex_);
  return previousFlags_;
}

void NetworkReachabilityManager::setPreviousFlags(Flags flags) {
  std::lock_guard lock(mutex_);
  previousFlags_ = flags;
}

void NetworkReachabilityManager::callback(reachability::Target&, Flags flags, void* info) {
  static_cast<NetworkReachabilityManager*>(info)->notifyListener(flags);
}

bool NetworkReachabilityManager::startListening() {
  // The target holds the manager unretained; stopListening() (also run by the destructor)
  // unschedules synchronously, so the pointer never outlives the manager.
  reachability::Context context;
  context.info = this;
  const bool callbackEnabled = reachability_->setCallback(&NetworkReachabilityManager::callback, &context);
  auto queue = listenerQueue();
  if (!queue) queue = dispatch::mainQueue();
  const bool queueEnabled = reachability_->setDispatchQueue(queue);
  queue->async([self = shared_from_this()] {
    self->setPreviousFlags(kUnreportedFlags);
    if (auto current = self->flags()) self->notifyListener(*current);
  });
  return callbackEnabled && queueEnabled;
}

void NetworkReachabilityManager::stopListening() {
  reachability_->setCallback(nullptr, nullptr);
  reachability_->setDispatchQueue(nullptr);
}

void NetworkReachabilityManager::notifyListener(Flags flags) {
  Listener listener;
  {
    std::lock_guard lock(mutex_);
    if (flags == previousFlags_) return;
    previousFlags_ = flags;
    listener = listener_;
  }
  if (listener) listener(networkReachabilityStatusForFlags(flags));
}

NetworkReachabilityStatus NetworkReachabilityManager::networkReachabilityStatusForFlags(Flags flags) const {
  if (!isNetworkReachable(flags)) return NetworkReachabilityStatus::notReachable();
  return NetworkReachabilityStatus::reachable(ConnectionType::ethernetOrWiFi);
}

bool NetworkReachabilityManager::isNetworkReachable(Flags flags) const {
  const bool reachable = flags & reachability::kReachable;
  const bool needsConnection = flags & reachability::kConnectionRequired;
  const bool canConnectAutomatically = flags & (reachability::kConnectionOnDemand | reachability::kConnectionOnTraffic);
  const bool canConnectWithoutUserInteraction = canConnectAutomatically && !(flags & reachability::kInterventionRequired);
  return reachable && (!needsConnection || canConnectWithoutUserInteraction);
}

}  // namespace pipeline
