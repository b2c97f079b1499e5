#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/dispatch/CallGate.h"
#include "platform/dispatch/Queue.h"

namespace foundation {

Notification::Notification(std::string name, std::shared_ptr<Object> object, Dictionary userInfo)
    : name_(std::move(name)), object_(std::move(object)), sender_(object_.get()), userInfo_(std::move(userInfo)) {}

Notification::Notification(std::string name, const void* sender, Dictionary userInfo)
    : name_(std::move(name)), sender_(sender), userInfo_(std::move(userInfo)) {}

struct NotificationCenter::Observer {
  ObserverToken token = 0;
  std::string name;
  const void* sender = nullptr;
  std::shared_ptr<dispatch::Queue> queue;
  Block block;
  dispatch::CallGate gate;

  bool matches(const Notification& notification) const {
    if (!name.empty() && name != notification.name()) return false;
    return sender == nullptr || sender == notification.sender();
  }
};

struct NotificationCenter::State {
  std::mutex mutex;
  std::vector<std::shared_ptr<Observer>> observers;
  ObserverToken nextToken = 1;
};

NotificationCenter::NotificationCenter() : state_(std::make_unique<State>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may post from worker threads while the process exits.
  static auto* center = new NotificationCenter();
  return *center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(const std::string& name, const void* sender,
                                                                  std::shared_ptr<dispatch::Queue> queue,
                                                                  Block block) {
  auto observer = std::make_shared<Observer>();
  observer->name = name;
  observer->sender = sender;
  observer->queue = std::move(queue);
  observer->block = std::move(block);
  std::lock_guard lock(state_->mutex);
  observer->token = state_->nextToken++;
  state_->observers.push_back(observer);
  return observer->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::shared_ptr<Observer> removed;
  {
    std::lock_guard lock(state_->mutex);
    auto it = std::find_if(state_->observers.begin(), state_->observers.end(),
                           [&](const auto& o) { return o->token == token; });
    if (it == state_->observers.end()) return;
    removed = *it;
    state_->observers.erase(it);
  }
  removed->gate.close();
}

void NotificationCenter::invoke(const std::shared_ptr<Observer>& observer, const Notification& notification) {
  observer->gate.run([&] { observer->block(notification); });
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Observer>> matching;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& observer : state_->observers) {
      if (observer->matches(notification)) matching.push_back(observer);
    }
  }
  for (const auto& observer : matching) {
    if (!observer->queue) {
      invoke(observer, notification);
      continue;
    }
    // The observer record alone is captured, so the block is safe even if this centre goes away.
    observer->queue->async([observer, copy = notification] {
      observer->gate.run([&] { observer->block(copy); });
    });
  }
}

void NotificationCenter::post(const std::string& name, std::shared_ptr<Object> object, Dictionary userInfo) {
  post(Notification(name, std::move(object), std::move(userInfo)));
}

void NotificationCenter::post(const std::string& name, const void* sender, Dictionary userInfo) {
  post(Notification(name, sender, std::move(userInfo)));
}

}  // namespace foundation
