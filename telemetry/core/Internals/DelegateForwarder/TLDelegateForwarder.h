#pragma once
// TLDelegateForwarder lets SDK services hear the calls made to the application's delegate without
// the application forwarding them: once a service registers a callback name, the forwarder takes
// over the platform's set-delegate slot; when the application sets its delegate, the forwarder
// replaces that delegate's entries for every registered name by its own, which call the
// delegate's original callback and then every custom delegate (TLCustomDelegate) that has one.
//
// The forwarder is switched by a key of the information dictionary. Since it is set up before
// the SDK's log level is known, its log lines wait in a process-wide trace buffer until the SDK
// sets the level (flushTraceBuffer); afterwards traces are logged at once.
//
// Abstract: a subclass names the slot it takes over (installSetDelegateHook). Thread-safe: the
// enabled state and the custom delegates have the forwarder's lock, forwarded calls are serialised
// by a lock of the forwarder class, the trace buffer has its own lock.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/appkit/ApplicationDelegate.h"
#include "platform/foundation/WeakHashTable.h"
#include "telemetry/core/Internals/DelegateForwarder/TLCustomDelegate.h"

class TLDelegateForwarder {
 public:
  // The suffix of callback names whose last argument carries the value returned so far.
  static constexpr const char* kReturnedValueSuffix = "returnedValue:";

  virtual ~TLDelegateForwarder() = default;
  TLDelegateForwarder(const TLDelegateForwarder&) = delete;
  TLDelegateForwarder& operator=(const TLDelegateForwarder&) = delete;

  // ---- Switch and custom delegates --------------------------------------------------------------

  // Enabled until switched off.
  bool isEnabled() const;
  // Switching off also drops every custom delegate.
  void setEnabled(bool isEnabled);
  // Reads `key` from the main bundle's information dictionary (absent: enabled; otherwise the
  // value's boolean), sets the state and traces it at DEBUG.
  void setEnabledFromPlistForKey(const std::string& key);
  // Adds or removes a custom delegate (held weakly); nothing while disabled.
  void addDelegate(const std::shared_ptr<TLCustomDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<TLCustomDelegate>& delegate);

  // ---- Interception ------------------------------------------------------------------------------

  // Registers the callback `name` to be taken over in the next delegate set. The first
  // registration also takes over the set-delegate slot (once per forwarder class). Nothing
  // while disabled.
  void addDelegateSelectorToSwizzle(const std::string& name);
  // Takes over every registered name in `delegate`'s table and empties the registration list;
  // the replaced callbacks are kept in originalImplementations.
  void swizzleOriginalDelegate(appkit::ApplicationDelegate& delegate);
  // Puts the forwarder's callback for `name` into `delegate`'s table and answers the one it
  // replaced. A name the delegate has no callback for is added, unless it is a deprecated name or
  // the delegate answers its deprecated name (then nothing changes and a WARNING is traced).
  // Traces the outcome.
  appkit::DelegateMethod swizzleOriginalSelector(const std::string& name, appkit::ApplicationDelegate& delegate);
  // Calls `name` on every custom delegate that has it, in order, under the class's lock. For a
  // name ending in "returnedValue:", each delegate's result becomes the last argument of the next
  // call and the last result is answered; with no delegate, the last argument itself. Otherwise
  // answers null.
  foundation::Value forwardInvocation(const std::string& name, foundation::Array arguments);
  // The delegate's original callback for `name`, or an empty function.
  appkit::DelegateMethod originalImplementation(const std::string& name) const;
  // Names registered and not yet taken over.
  std::set<std::string> selectorsToSwizzle() const;
  // Names that replaced a deprecated one: name → deprecated name. Empty unless a subclass sets it.
  void setDeprecatedSelectors(std::map<std::string, std::string> deprecatedSelectors);

  // ---- Trace buffer ------------------------------------------------------------------------------

  // Buffers `trace` (the first time with a VERBOSE "Start buffering traces." before it) until
  // the buffer is flushed; afterwards runs it at once.
  static void addTraceBlock(std::function<void()> trace);
  // Runs every buffered trace in order, closes the buffer and logs "Stop buffering traces,
  // flushed." at VERBOSE. Later calls do nothing.
  static void flushTraceBuffer();
  // Opens a fresh, empty buffer, as at start-up. For tests.
  static void resetTraceBufferForTesting();

 protected:
  TLDelegateForwarder() = default;

  // Takes over the platform's set-delegate slot, keeping the replaced implementation; called at
  // most once per forwarder class, under its run-once guard.
  virtual void installSetDelegateHook() = 0;
  // The run-once guard of installSetDelegateHook for this forwarder class.
  virtual std::once_flag& swizzlingOnceToken() = 0;
  // The forwarder's callback for `name`: calls the delegate's original callback, then forwards to
  // the custom delegates. For a "returnedValue:" name, the original's result is handed on as the
  // last argument and the custom delegates' chained result is answered.
  virtual appkit::DelegateMethod customImplementation(const std::string& name);

 private:
  mutable std::mutex mutex_;
  bool enabled_ = true;
  foundation::WeakHashTable<TLCustomDelegate> delegates_;
  std::map<std::string, appkit::DelegateMethod> originalImplementations_;
  std::map<std::string, std::string> deprecatedSelectors_;
  std::set<std::string> selectorsToSwizzle_;
};
