#pragma once
// TLCustomDelegate marks an SDK object that wants to hear calls made to the application's
// delegate without the application's help. It answers those calls through a table of callbacks
// by name, the names of the application delegate's callbacks (see appkit::ApplicationDelegate);
// a name it has no callback for is not forwarded to it. TLCustomApplicationDelegate marks those
// for the application object's delegate.
//
// Thread-safe: the table has its own lock, and a callback runs outside it.
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/foundation/Value.h"

class TLCustomDelegate {
 public:
  // A forwarded call: its arguments in order; answers its result (null when it has none).
  using Method = std::function<foundation::Value(const foundation::Array& arguments)>;

  virtual ~TLCustomDelegate() = default;

  // Puts `method` under `name` (an empty method removes the name).
  void setMethod(const std::string& name, Method method) {
    std::lock_guard guard(mutex_);
    if (method) {
      methods_[name] = std::move(method);
    } else {
      methods_.erase(name);
    }
  }
  bool respondsToName(const std::string& name) const {
    std::lock_guard guard(mutex_);
    return methods_.count(name) != 0;
  }
  // Runs the callback under `name`; null when there is none.
  foundation::Value perform(const std::string& name, const foundation::Array& arguments) {
    Method method;
    {
      std::lock_guard guard(mutex_);
      const auto found = methods_.find(name);
      if (found == methods_.end()) return foundation::Value();
      method = found->second;
    }
    return method(arguments);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Method> methods_;
};

class TLCustomApplicationDelegate : public TLCustomDelegate {};
