#include "telemetry/core/Internals/Util/TL_Reachability.h"

#include <netinet/in.h>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/reachability/Target.h"

TL_Reachability::TL_Reachability(std::shared_ptr<reachability::Target> target) : target_(std::move(target)) {}

TL_Reachability::~TL_Reachability() {
  // The target holds this watcher unretained; unscheduling is synchronous, so once it returns no
  // callback runs or is running with the pointer, whichever thread the watcher dies on.
  target_->setCallback(nullptr, nullptr);
  target_->unscheduleFromMainRunLoop();
}

std::shared_ptr<TL_Reachability> TL_Reachability::reachabilityWithHostName(const std::string& hostName) {
  auto target = reachability::Target::createWithName(hostName);
  if (!target) return nullptr;
  return std::shared_ptr<TL_Reachability>(new TL_Reachability(std::move(target)));
}

std::shared_ptr<TL_Reachability> TL_Reachability::reachabilityWithAddress(const sockaddr* address) {
  auto target = reachability::Target::createWithAddress(address);
  if (!target) return nullptr;
  return std::shared_ptr<TL_Reachability>(new TL_Reachability(std::move(target)));
}

std::shared_ptr<TL_Reachability> TL_Reachability::reachabilityForInternetConnection() {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = 0;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&any));
}

void TL_Reachability::startNotifier() {
  if (dispatch::Queue::isMainThread()) return startOnMainThread();
  dispatch::mainQueue()->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->startOnMainThread();
  });
}

void TL_Reachability::stopNotifier() {
  if (dispatch::Queue::isMainThread()) return stopOnMainThread();
  dispatch::mainQueue()->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->stopOnMainThread();
  });
}

void TL_Reachability::startOnMainThread() {
  reachability::Context context;
  context.info = this;
  if (!target_->setCallback(&TL_Reachability::changed, &context)) return;
  if (!target_->scheduleWithMainRunLoop()) return;
  post();
}

void TL_Reachability::stopOnMainThread() { target_->unscheduleFromMainRunLoop(); }

void TL_Reachability::changed(reachability::Target&, reachability::Flags, void* info) {
  // Observers ask for the status themselves; the flags handed here are not needed.
  static_cast<TL_Reachability*>(info)->post();
}

void TL_Reachability::post() {
  foundation::NotificationCenter::defaultCenter().post(kTLReachabilityChangedNotification,
                                                       static_cast<const void*>(this));
}

TLNetworkStatus TL_Reachability::currentReachabilityStatus() const {
  const auto flags = target_->getFlags();
  if (!flags) return TLNetworkStatusNotReachable;
  return networkStatusForFlags(*flags);
}

TLNetworkStatus TL_Reachability::networkStatusForFlags(reachability::Flags flags) {
  if (!(flags & reachability::kReachable)) return TLNetworkStatusNotReachable;
  if (!(flags & reachability::kConnectionRequired)) return TLNetworkStatusReachable;
  const bool automatic = flags & (reachability::kConnectionOnTraffic | reachability::kConnectionOnDemand);
  if (automatic && !(flags & reachability::kInterventionRequired)) return TLNetworkStatusReachable;
  return TLNetworkStatusNotReachable;
}

bool TL_Reachability::connectionRequired() const {
  const auto flags = target_->getFlags();
  return flags && (*flags & reachability::kConnectionRequired);
}
