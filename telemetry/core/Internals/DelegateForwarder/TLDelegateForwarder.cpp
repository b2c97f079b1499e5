#include "telemetry/core/Internals/DelegateForwarder/TLDelegateForwarder.h"

#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/String.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"
#include "telemetry/core/TLServiceClass.h"

namespace {

struct TraceBuffer {
  std::mutex mutex;
  // Open (present) from start-up until the first flush.
  std::optional<std::vector<std::function<void()>>> traces = std::vector<std::function<void()>>();
};

TraceBuffer& traceBuffer() {
  static auto* buffer = new TraceBuffer();
  return *buffer;
}

// Forwarded calls of every forwarder run one at a time.
std::recursive_mutex& forwardingMutex() {
  static auto* mutex = new std::recursive_mutex();
  return *mutex;
}

bool hasSuffix(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

// ---- Switch and custom delegates ----------------------------------------------------------------

bool TLDelegateForwarder::isEnabled() const {
  std::lock_guard guard(mutex_);
  return enabled_;
}

void TLDelegateForwarder::setEnabled(bool isEnabled) {
  std::lock_guard guard(mutex_);
  enabled_ = isEnabled;
  if (!isEnabled) delegates_.removeAllObjects();
}

void TLDelegateForwarder::setEnabledFromPlistForKey(const std::string& key) {
  const foundation::Value value = foundation::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  const bool enabled = value.isNull() ? true : value.boolValue();
  setEnabled(enabled);
  addTraceBlock([key, enabled] {
    if (enabled) {
      TLLogDebug(kTLLogTag, "Delegate forwarder for info.plist key '%@' enabled. It may use swizzling.", key);
    } else {
      TLLogDebug(kTLLogTag, "Delegate forwarder for info.plist key '%@' disabled. It won't use swizzling.", key);
    }
  });
}

void TLDelegateForwarder::addDelegate(const std::shared_ptr<TLCustomDelegate>& delegate) {
  std::lock_guard guard(mutex_);
  if (enabled_) delegates_.add(delegate);
}

void TLDelegateForwarder::removeDelegate(const std::shared_ptr<TLCustomDelegate>& delegate) {
  std::lock_guard guard(mutex_);
  if (enabled_) delegates_.remove(delegate);
}

// ---- Interception -------------------------------------------------------------------------------

void TLDelegateForwarder::addDelegateSelectorToSwizzle(const std::string& name) {
  if (!isEnabled()) return;
  std::call_once(swizzlingOnceToken(), [this] { installSetDelegateHook(); });
  std::lock_guard guard(mutex_);
  selectorsToSwizzle_.insert(name);
}

void TLDelegateForwarder::swizzleOriginalDelegate(appkit::ApplicationDelegate& delegate) {
  std::set<std::string> names;
  {
    std::lock_guard guard(mutex_);
    names.swap(selectorsToSwizzle_);
  }
  for (const std::string& name : names) {
    appkit::DelegateMethod original = swizzleOriginalSelector(name, delegate);
    if (!original) continue;
    std::lock_guard guard(mutex_);
    originalImplementations_[name] = std::move(original);
  }
}

appkit::DelegateMethod TLDelegateForwarder::swizzleOriginalSelector(const std::string& name,
                                                                    appkit::ApplicationDelegate& delegate) {
  const std::string className = TLServiceClass::demangledName(typeid(delegate));
  std::map<std::string, std::string> deprecated;
  {
    std::lock_guard guard(mutex_);
    deprecated = deprecatedSelectors_;
  }
  std::optional<std::string> warning;
  appkit::DelegateMethod previous;
  bool swizzled = false;
  if (delegate.respondsToName(name)) {
    previous = delegate.replaceMethod(name, customImplementation(name));
    swizzled = static_cast<bool>(previous);
  } else {
    const auto found = deprecated.find(name);
    bool isDeprecatedName = false;
    for (const auto& [current, old] : deprecated) isDeprecatedName = isDeprecatedName || old == name;
    if (found != deprecated.end() && delegate.respondsToName(found->second)) {
      warning = foundation::stringWithFormat(
          "No implementation found for this selector, though an implementation of its deprecated API '%@' exists.",
          found->second);
    } else if (isDeprecatedName) {
      return {};
    } else {
      delegate.replaceMethod(name, customImplementation(name));
      swizzled = true;
    }
  }
  addTraceBlock([name, className, swizzled, warning] {
    if (swizzled) {
      TLLogDebug(kTLLogTag, "Selector '%@' of class '%@' is swizzled.", name, className);
    } else if (warning) {
      TLLogWarning(kTLLogTag, "Cannot swizzle selector '%@' of class '%@'. %@", name, className, *warning);
    } else {
      TLLogError(kTLLogTag,
                 "Cannot swizzle selector '%@' of class '%@'. You need to explicitly call the Telemetry API from "
                 "your app delegate implementation.",
                 name, className);
    }
  });
  return previous;
}

appkit::DelegateMethod TLDelegateForwarder::customImplementation(const std::string& name) {
  const bool chaining = hasSuffix(name, kReturnedValueSuffix);
  return [this, name, chaining](appkit::ApplicationDelegate& receiver, const foundation::Array& arguments) {
    foundation::Value result;
    if (const appkit::DelegateMethod original = originalImplementation(name)) result = original(receiver, arguments);
    if (!chaining) {
      forwardInvocation(name, arguments);
      return result;
    }
    foundation::Array chained = arguments;
    if (chained.empty()) chained.push_back(result);
    else chained.back() = result;
    return forwardInvocation(name, std::move(chained));
  };
}

foundation::Value TLDelegateForwarder::forwardInvocation(const std::string& name, foundation::Array arguments) {
  std::lock_guard forwarding(forwardingMutex());
  const bool chaining = hasSuffix(name, kReturnedValueSuffix) && !arguments.empty();
  std::vector<std::shared_ptr<TLCustomDelegate>> delegates;
  {
    std::lock_guard guard(mutex_);
    delegates = delegates_.allObjects();
  }
  for (const auto& delegate : delegates) {
    if (!delegate->respondsToName(name)) continue;
    foundation::Value returned = delegate->perform(name, arguments);
    if (chaining) arguments.back() = std::move(returned);
  }
  return chaining ? arguments.back() : foundation::Value();
}

appkit::DelegateMethod TLDelegateForwarder::originalImplementation(const std::string& name) const {
  std::lock_guard guard(mutex_);
  const auto found = originalImplementations_.find(name);
  return found == originalImplementations_.end() ? appkit::DelegateMethod() : found->second;
}

std::set<std::string> TLDelegateForwarder::selectorsToSwizzle() const {
  std::lock_guard guard(mutex_);
  return selectorsToSwizzle_;
}

void TLDelegateForwarder::setDeprecatedSelectors(std::map<std::string, std::string> deprecatedSelectors) {
  std::lock_guard guard(mutex_);
  deprecatedSelectors_ = std::move(deprecatedSelectors);
}

// ---- Trace buffer -------------------------------------------------------------------------------

void TLDelegateForwarder::addTraceBlock(std::function<void()> trace) {
  TraceBuffer& buffer = traceBuffer();
  {
    std::lock_guard guard(buffer.mutex);
    if (buffer.traces) {
      if (buffer.traces->empty()) {
        buffer.traces->push_back([] { TLLogVerbose(kTLLogTag, "Start buffering traces."); });
      }
      buffer.traces->push_back(std::move(trace));
      return;
    }
  }
  trace();
}

void TLDelegateForwarder::flushTraceBuffer() {
  TraceBuffer& buffer = traceBuffer();
  std::lock_guard guard(buffer.mutex);
  if (!buffer.traces) return;
  for (const auto& trace : *buffer.traces) trace();
  buffer.traces.reset();
  TLLogVerbose(kTLLogTag, "Stop buffering traces, flushed.");
}

void TLDelegateForwarder::resetTraceBufferForTesting() {
  TraceBuffer& buffer = traceBuffer();
  std::lock_guard guard(buffer.mutex);
  buffer.traces.emplace();
}
