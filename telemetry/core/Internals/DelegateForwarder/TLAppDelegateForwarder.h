#pragma once
// TLAppDelegateForwarder is the delegate forwarder of the application object: it takes over
// appkit::Application's set-delegate slot and the callbacks of the application delegate. Its
// switch is the information key "TelemetryAppDelegateForwarderEnabled" (absent: on), read when
// the shared instance is first made. Thread-safe.
#include <memory>
#include <mutex>

#include "platform/appkit/Application.h"
#include "telemetry/core/Internals/DelegateForwarder/TLDelegateForwarder.h"

class TLAppDelegateForwarder : public TLDelegateForwarder, public TLCustomApplicationDelegate {
 public:
  // The information key of the switch.
  static constexpr const char* kEnabledKey = "TelemetryAppDelegateForwarderEnabled";

  // The shared forwarder; the first one made reads the switch. Never null; thread-safe.
  static std::shared_ptr<TLAppDelegateForwarder> sharedInstance();
  // Replaces the shared forwarder by a new, enabled one that has not read the switch.
  static void resetSharedInstance();

  // What the set-delegate slot runs while the forwarder holds it: for the first delegate set,
  // takes over its registered callbacks; then hands the delegate on to the slot's previous
  // implementation, so the application still gets it.
  static void custom_setDelegate(appkit::Application& application,
                                 std::shared_ptr<appkit::ApplicationDelegate> delegate);

 protected:
  TLAppDelegateForwarder() = default;
  void installSetDelegateHook() override;
  std::once_flag& swizzlingOnceToken() override;
};
