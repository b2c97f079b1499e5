#include "telemetry/core/Internals/DelegateForwarder/TLAppDelegateForwarder.h"

namespace {

std::mutex sharedMutex;
std::shared_ptr<TLAppDelegateForwarder> sharedForwarder;
bool switchRead = false;

// The set-delegate implementation the forwarder replaced; empty until it takes the slot over.
appkit::Application::SetDelegateImplementation& originalSetDelegate() {
  static auto* original = new appkit::Application::SetDelegateImplementation();
  return *original;
}

}  // namespace

std::shared_ptr<TLAppDelegateForwarder> TLAppDelegateForwarder::sharedInstance() {
  std::shared_ptr<TLAppDelegateForwarder> forwarder;
  bool readSwitch = false;
  {
    std::lock_guard guard(sharedMutex);
    if (!sharedForwarder) sharedForwarder.reset(new TLAppDelegateForwarder());
    forwarder = sharedForwarder;
    // The switch is read once per process, by the first forwarder: the platform reads it as the
    // class loads.
    readSwitch = !std::exchange(switchRead, true);
  }
  if (readSwitch) forwarder->setEnabledFromPlistForKey(kEnabledKey);
  return forwarder;
}

void TLAppDelegateForwarder::resetSharedInstance() {
  std::lock_guard guard(sharedMutex);
  switchRead = true;
  sharedForwarder.reset(new TLAppDelegateForwarder());
}

std::once_flag& TLAppDelegateForwarder::swizzlingOnceToken() {
  static std::once_flag token;
  return token;
}

void TLAppDelegateForwarder::installSetDelegateHook() {
  originalSetDelegate() = appkit::Application::replaceSetDelegateImplementation(&TLAppDelegateForwarder::custom_setDelegate);
}

void TLAppDelegateForwarder::custom_setDelegate(appkit::Application& application,
                                                std::shared_ptr<appkit::ApplicationDelegate> delegate) {
  // Only the first delegate set has its callbacks taken over, as the names registered so far
  // are used up by it.
  static std::once_flag once;
  if (delegate) std::call_once(once, [&] { sharedInstance()->swizzleOriginalDelegate(*delegate); });
  if (const auto& original = originalSetDelegate()) original(application, std::move(delegate));
}
