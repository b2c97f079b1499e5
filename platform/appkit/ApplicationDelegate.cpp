#include "platform/appkit/ApplicationDelegate.h"

#include <utility>

namespace appkit {

ApplicationDelegate::ApplicationDelegate() {
  // Each entry calls the virtual method, so a subclass's override is what the table runs.
  methods_[kWillFinishLaunching] = [](ApplicationDelegate& self, const foundation::Array&) {
    self.applicationWillFinishLaunching();
    return foundation::Value();
  };
  methods_[kDidFinishLaunching] = [](ApplicationDelegate& self, const foundation::Array&) {
    self.applicationDidFinishLaunching();
    return foundation::Value();
  };
  methods_[kShouldTerminateAfterLastWindowClosed] = [](ApplicationDelegate& self, const foundation::Array&) {
    return foundation::Value(self.applicationShouldTerminateAfterLastWindowClosed());
  };
  methods_[kWillTerminate] = [](ApplicationDelegate& self, const foundation::Array&) {
    self.applicationWillTerminate();
    return foundation::Value();
  };
}

DelegateMethod ApplicationDelegate::methodForName(const std::string& name) const {
  std::lock_guard guard(mutex_);
  const auto found = methods_.find(name);
  return found == methods_.end() ? DelegateMethod() : found->second;
}

bool ApplicationDelegate::respondsToName(const std::string& name) const {
  return static_cast<bool>(methodForName(name));
}

DelegateMethod ApplicationDelegate::replaceMethod(const std::string& name, DelegateMethod method) {
  std::lock_guard guard(mutex_);
  DelegateMethod& slot = methods_[name];
  return std::exchange(slot, std::move(method));
}

foundation::Value ApplicationDelegate::perform(const std::string& name, const foundation::Array& arguments) {
  const DelegateMethod method = methodForName(name);
  return method ? method(*this, arguments) : foundation::Value();
}

}  // namespace appkit
