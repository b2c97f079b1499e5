#pragma once
// NotificationCenter stands in for the platform's notification centre: named notifications posted
// synchronously to the observers registered for that name and, optionally, that sender.
//
// A notification's sender is kept in two ways: `object`, a shared reference that observers may use,
// and `sender`, the identity that observers filter on. Posting with a shared object sets both;
// posting with a bare identity (a context posting about itself, a request) sets only `sender`.
//
// Removal is sound across threads: once removeObserver() returns, that observer's block does not
// run and is not running on another thread (a run in progress on the calling thread, i.e. removal
// from inside the block, is let finish). Distributed notifications are left out.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace dispatch {
class Queue;
}

namespace foundation {

class Notification {
 public:
  Notification(std::string name, std::shared_ptr<Object> object, Dictionary userInfo = {});
  Notification(std::string name, const void* sender, Dictionary userInfo = {});

  const std::string& name() const { return name_; }
  // The shared sender, or null when the poster gave only an identity.
  const std::shared_ptr<Object>& object() const { return object_; }
  // The sender's identity (object().get() when posted with an object), or null.
  const void* sender() const { return sender_; }
  const Dictionary& userInfo() const { return userInfo_; }

 private:
  std::string name_;
  std::shared_ptr<Object> object_;
  const void* sender_ = nullptr;
  Dictionary userInfo_;
};

class NotificationCenter {
 public:
  using Block = std::function<void(const Notification&)>;
  // Identifies one registration; 0 is never a valid token.
  using ObserverToken = std::uint64_t;

  // The process-wide centre. Lives forever.
  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers `block` for notifications named `name` (empty: any name) from the sender `sender`
  // (null: any sender). With a null `queue` the block runs synchronously on the posting thread;
  // otherwise a copy of the notification is delivered asynchronously on `queue`. Thread-safe.
  ObserverToken addObserver(const std::string& name, const void* sender,
                            std::shared_ptr<dispatch::Queue> queue, Block block);
  // Ends a registration; unknown or already removed tokens are ignored. Safe from inside any
  // observer's block. See the class comment for what it waits for. Thread-safe.
  void removeObserver(ObserverToken token);

  // Delivers `notification` to the matching observers, in the order they registered, before it
  // returns (queued observers: once scheduled). Observers added or removed by a block during the
  // post take effect for later posts, except that a removed one is not called. Thread-safe.
  void post(const Notification& notification);
  void post(const std::string& name, std::shared_ptr<Object> object = nullptr, Dictionary userInfo = {});
  void post(const std::string& name, const void* sender, Dictionary userInfo = {});

 private:
  struct Observer;
  struct State;
  void invoke(const std::shared_ptr<Observer>& observer, const Notification& notification);
  std::unique_ptr<State> state_;
};

}  // namespace foundation
