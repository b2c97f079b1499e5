#include "platform/reachability/Target.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/dispatch/CallGate.h"
#include "platform/dispatch/Queue.h"
#include "platform/reachability/FlagSource.h"

namespace reachability {

struct Target::State {
  std::mutex mutex;
  Callback callback = nullptr;
  Context context;
  std::shared_ptr<dispatch::Queue> queue;
  // One gate per scheduling: unscheduling closes it, so blocks already queued do nothing.
  std::shared_ptr<dispatch::CallGate> gate;
  std::optional<Flags> lastFlags;  // what the last callback (or the scheduling) saw
};

namespace {

// The scheduled targets, so that a change of flags reaches them.
struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<Target>> targets;
};

Registry& registry() {
  static auto* shared = new Registry();
  return *shared;
}

void releaseContext(const Context& context) {
  if (context.release && context.info) context.release(context.info);
}

}  // namespace

std::shared_ptr<Target> Target::createWithName(const std::string& hostName) {
  if (hostName.empty()) return nullptr;
  auto target = std::shared_ptr<Target>(new Target());
  target->hostName_ = hostName;
  target->state_ = std::make_shared<State>();
  return target;
}

std::shared_ptr<Target> Target::createWithAddress(const sockaddr* address) {
  if (!address) return nullptr;
  std::size_t length = 0;
  if (address->sa_family == AF_INET) length = sizeof(sockaddr_in);
  else if (address->sa_family == AF_INET6) length = sizeof(sockaddr_in6);
  else return nullptr;
  auto target = std::shared_ptr<Target>(new Target());
  std::memcpy(&target->address_, address, length);
  target->state_ = std::make_shared<State>();
  return target;
}

Target::~Target() {
  std::shared_ptr<dispatch::CallGate> gate;
  Context context;
  {
    std::lock_guard lock(state_->mutex);
    gate = std::move(state_->gate);
    context = state_->context;
    state_->context = Context{};
    state_->callback = nullptr;
  }
  if (gate) gate->close();
  releaseContext(context);
}

std::optional<Flags> Target::getFlags() const {
  auto source = currentFlagSource();
  return isHostName() ? source->flagsForHostName(hostName_) : source->flagsForAddress(address_);
}

bool Target::setCallback(Callback callback, const Context* context) {
  Context taken;
  if (callback && context) {
    taken = *context;
    if (taken.retain && taken.info) taken.info = const_cast<void*>(taken.retain(taken.info));
  }
  Context previous;
  {
    std::lock_guard lock(state_->mutex);
    previous = state_->context;
    state_->callback = callback;
    state_->context = taken;
  }
  releaseContext(previous);
  return true;
}

bool Target::setDispatchQueue(std::shared_ptr<dispatch::Queue> queue) {
  std::shared_ptr<dispatch::CallGate> oldGate;
  const std::optional<Flags> now = queue ? getFlags() : std::nullopt;
  {
    std::lock_guard lock(state_->mutex);
    oldGate = std::move(state_->gate);
    state_->queue = queue;
    if (queue) {
      state_->gate = std::make_shared<dispatch::CallGate>();
      state_->lastFlags = now;
    }
  }
  if (oldGate) oldGate->close();
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  std::erase_if(reg.targets, [&](const auto& weak) {
    auto target = weak.lock();
    return !target || target.get() == this;
  });
  if (queue) {
    reg.targets.push_back(weak_from_this());
    // Make sure the source is watching; the handler is the same for every target.
    currentFlagSource()->setChangeHandler(&Target::flagsMayHaveChanged);
  }
  return true;
}

bool Target::scheduleWithMainRunLoop() { return setDispatchQueue(dispatch::mainQueue()); }

bool Target::unscheduleFromMainRunLoop() { return setDispatchQueue(nullptr); }

void Target::flagsMayHaveChanged() {
  std::vector<std::shared_ptr<Target>> targets;
  {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (const auto& weak : reg.targets) {
      if (auto target = weak.lock()) targets.push_back(std::move(target));
    }
  }
  for (const auto& target : targets) {
    std::shared_ptr<dispatch::Queue> queue;
    std::shared_ptr<dispatch::CallGate> gate;
    {
      std::lock_guard lock(target->state_->mutex);
      queue = target->state_->queue;
      gate = target->state_->gate;
    }
    if (!queue || !gate) continue;
    // The target is held weakly: a target dropped by its owner must not be kept for a callback.
    std::weak_ptr<Target> weak = target;
    queue->async([weak, gate] {
      gate->run([&] {
        if (auto self = weak.lock()) self->checkForChange();
      });
    });
  }
}

void Target::checkForChange() {
  const std::optional<Flags> flags = getFlags();
  Callback callback = nullptr;
  void* info = nullptr;
  {
    std::lock_guard lock(state_->mutex);
    if (!flags || flags == state_->lastFlags) return;
    state_->lastFlags = flags;
    callback = state_->callback;
    info = state_->context.info;
  }
  if (callback) callback(*this, *flags, info);
}

}  // namespace reachability
