#include "platform/foundation/KeyValueObserving.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "platform/dispatch/CallGate.h"

namespace foundation {

namespace {

struct Observer {
  KeyValueObserving::ObserverToken token = 0;
  std::string keyPath;
  KeyValueObserving::Callback callback;
  dispatch::CallGate gate;
};

}  // namespace

struct KeyValueObserving::State {
  mutable std::mutex mutex;
  Getter getter;
  std::vector<std::shared_ptr<Observer>> observers;
  // Old values of the announced, not yet completed changes, per key; pairs nest.
  std::map<std::string, std::vector<Value>> pendingOld;
  ObserverToken nextToken = 1;
};

KeyValueObserving::KeyValueObserving(Getter getter) : state_(std::make_unique<State>()) {
  state_->getter = std::move(getter);
}

KeyValueObserving::~KeyValueObserving() = default;

KeyValueObserving::ObserverToken KeyValueObserving::addObserver(const std::string& keyPath, Callback callback) {
  auto observer = std::make_shared<Observer>();
  observer->keyPath = keyPath;
  observer->callback = std::move(callback);
  std::lock_guard lock(state_->mutex);
  observer->token = state_->nextToken++;
  state_->observers.push_back(observer);
  return observer->token;
}

void KeyValueObserving::removeObserver(ObserverToken token) {
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

bool KeyValueObserving::hasObservers(const std::string& keyPath) const {
  std::lock_guard lock(state_->mutex);
  return std::any_of(state_->observers.begin(), state_->observers.end(),
                     [&](const auto& o) { return o->keyPath == keyPath; });
}

void KeyValueObserving::willChangeValueForKey(const std::string& key, const Value& oldValue) {
  std::lock_guard lock(state_->mutex);
  state_->pendingOld[key].push_back(oldValue);
}

void KeyValueObserving::willChangeValueForKey(const std::string& key) {
  willChangeValueForKey(key, state_->getter ? state_->getter(key) : Value());
}

void KeyValueObserving::didChangeValueForKey(const std::string& key, const Value& newValue) {
  Value oldValue;
  std::vector<std::shared_ptr<Observer>> matching;
  {
    std::lock_guard lock(state_->mutex);
    if (auto it = state_->pendingOld.find(key); it != state_->pendingOld.end()) {
      oldValue = std::move(it->second.back());
      it->second.pop_back();
      if (it->second.empty()) state_->pendingOld.erase(it);
    }
    for (const auto& observer : state_->observers) {
      if (observer->keyPath == key) matching.push_back(observer);
    }
  }
  for (const auto& observer : matching) {
    observer->gate.run([&] { observer->callback(oldValue, newValue); });
  }
}

void KeyValueObserving::didChangeValueForKey(const std::string& key) {
  didChangeValueForKey(key, state_->getter ? state_->getter(key) : Value());
}

void KeyValueObserving::setValueNotifying(const std::string& key, const Value& oldValue, const Value& newValue,
                                          const std::function<void()>& apply) {
  willChangeValueForKey(key, oldValue);
  if (apply) apply();
  didChangeValueForKey(key, newValue);
}

}  // namespace foundation
