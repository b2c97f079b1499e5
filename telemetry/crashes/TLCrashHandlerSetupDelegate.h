#pragma once
// TLCrashHandlerSetupDelegate lets a wrapper SDK take part in the crash service's one-time
// configuration of the crash engine: it hears just before and just after, and may keep the
// engine from installing its own uncaught-exception handler (the wrapper's runtime has one).
// Every operation is optional; the defaults say what happens when the wrapper leaves one out.
// The calls come on the thread that enables the crash service.
#include <optional>

class TLCrashHandlerSetupDelegate {
 public:
  virtual ~TLCrashHandlerSetupDelegate() = default;

  // The engine is about to be configured.
  virtual void willSetUpCrashHandlers() {}
  // The engine has been configured.
  virtual void didSetUpCrashHandlers() {}
  // Whether the engine installs its uncaught-exception handler; nothing (the default) means the
  // wrapper does not answer, and the engine installs it.
  virtual std::optional<bool> shouldEnableUncaughtExceptionHandler() { return std::nullopt; }
};
