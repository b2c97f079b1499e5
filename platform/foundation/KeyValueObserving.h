#pragma once
// KeyValueObserving stands in for the platform's key-value observation: observers registered per
// key path on one object, told the old and the new value when the object announces a change.
// An observed object owns one (as a member or a base class) and brackets each change of a
// property with willChangeValueForKey / didChangeValueForKey, or calls setValueNotifying.
//
// Key paths are matched to the changed key as a whole ("contents"); observing through a dotted
// path into other objects is left out. Observers run synchronously on the thread making the
// change, in the order they registered. Removal follows the notification centre's rule: after
// removeObserver() returns, the callback is neither called nor running on another thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation {

class KeyValueObserving {
 public:
  using Callback = std::function<void(const Value& oldValue, const Value& newValue)>;
  // Identifies one registration; 0 is never a valid token.
  using ObserverToken = std::uint64_t;
  // Reads the current value of a key; used by the value-less will/did forms.
  using Getter = std::function<Value(const std::string& key)>;

  // `getter`, when given, lets willChangeValueForKey(key) and didChangeValueForKey(key) read the
  // values themselves; without it they report null values.
  explicit KeyValueObserving(Getter getter = {});
  ~KeyValueObserving();
  KeyValueObserving(const KeyValueObserving&) = delete;
  KeyValueObserving& operator=(const KeyValueObserving&) = delete;

  // Registers `callback` for changes of `keyPath`. Thread-safe.
  ObserverToken addObserver(const std::string& keyPath, Callback callback);
  // Ends a registration; unknown tokens are ignored; safe from inside a callback. Thread-safe.
  void removeObserver(ObserverToken token);
  // Whether anyone observes `keyPath` (lets a setter skip reading the old value).
  bool hasObservers(const std::string& keyPath) const;

  // Announces that `key` is about to change from `oldValue`. Pairs nest: each did matches the
  // latest unmatched will of the same key, so one key's pairs must come from one thread at a time.
  void willChangeValueForKey(const std::string& key, const Value& oldValue);
  void willChangeValueForKey(const std::string& key);
  // Announces that `key` has changed to `newValue`; the observers of `key` are called with the old
  // value of the matching will. A did without a will reports a null old value.
  void didChangeValueForKey(const std::string& key, const Value& newValue);
  void didChangeValueForKey(const std::string& key);

  // Both announcements at once, with `apply` (if given) run between them to store the value.
  void setValueNotifying(const std::string& key, const Value& oldValue, const Value& newValue,
                         const std::function<void()>& apply = {});

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace foundation
