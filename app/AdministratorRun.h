#pragma once
// AdministratorRun carries out the application's privileged runs, Apply and Flush Cache, one at a
// time for the whole application, whichever window or notice asked. The Compiler does the work
// off the main thread; while it is under way (the password dialog included) the user's input to
// every window of the application is held back (appkit::InputBlocker), so nothing can change
// under the run and no second one can be asked for, and the windows keep repainting and
// answering the desktop.
//
// Main thread only.
#include <functional>
#include <optional>

#include "platform/foundation/Error.h"

namespace app {

class AdministratorRun {
 public:
  // How a run ended: nothing on success, else the error to show.
  using Completion = std::function<void(const std::optional<foundation::Error>& failure)>;

  AdministratorRun() = delete;

  // Whether a run is under way.
  static bool isRunning();

  // Starts Compiler::apply() and returns true; or returns false, starting nothing, while a run is
  // under way. `completion` (optional) runs on the main thread once the run has ended, the
  // hostfiles are marked clean (on success) and input is back.
  static bool apply(Completion completion);
  // The same for Compiler::flushDNSCache().
  static bool flushDNSCache(Completion completion);
};

}  // namespace app
