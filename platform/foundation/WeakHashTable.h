#pragma once
// WeakHashTable stands in for the platform's hash table of weak references (the weak delegate
// sets): it holds objects without keeping them alive, each at most once (by identity), and
// forgets an object once its last owner lets go. Callbacks to the members run on a snapshot,
// taken under the table's lock and walked outside it, so a member may add or remove members
// (itself included) from inside a callback without deadlock, and a member removed meanwhile may
// still receive the call in progress.
//
// Every method is thread-safe.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace foundation {

template <class T>
class WeakHashTable {
 public:
  // Adds `object` unless it is null or already there.
  void add(const std::shared_ptr<T>& object) {
    if (!object) return;
    std::lock_guard lock(mutex_);
    prune();
    if (indexOf(object.get()) == members_.size()) members_.push_back(object);
  }
  // Removes `object`; unknown objects are ignored.
  void remove(const T* object) {
    std::lock_guard lock(mutex_);
    const std::size_t index = indexOf(object);
    if (index < members_.size()) members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  void remove(const std::shared_ptr<T>& object) { remove(object.get()); }
  void removeAllObjects() {
    std::lock_guard lock(mutex_);
    members_.clear();
  }
  bool contains(const T* object) const {
    std::lock_guard lock(mutex_);
    return indexOf(object) < members_.size();
  }
  // The number of members still alive.
  std::size_t count() const { return allObjects().size(); }

  // Strong references to the members still alive, in the order they were added: the snapshot
  // to call them on. Owned by the caller; holding it keeps the members alive.
  std::vector<std::shared_ptr<T>> allObjects() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<T>> alive;
    alive.reserve(members_.size());
    for (const auto& weak : members_) {
      if (auto object = weak.lock()) alive.push_back(std::move(object));
    }
    return alive;
  }
  // Calls `body` with each member of a snapshot, outside the lock.
  void forEach(const std::function<void(T&)>& body) const {
    for (const auto& object : allObjects()) body(*object);
  }

 private:
  // The position of `object` among the live members, or members_.size(). Dead members match
  // nothing, so a new object at a dead one's address is a new member; additions prune them.
  std::size_t indexOf(const T* object) const {
    for (std::size_t i = 0; i < members_.size(); ++i) {
      const auto alive = members_[i].lock();
      if (alive && alive.get() == object) return i;
    }
    return members_.size();
  }
  void prune() {
    members_.erase(std::remove_if(members_.begin(), members_.end(), [](const auto& weak) { return weak.expired(); }),
                   members_.end());
  }

  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<T>> members_;
};

}  // namespace foundation
