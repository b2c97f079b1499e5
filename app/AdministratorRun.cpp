#include "app/AdministratorRun.h"

#include <memory>
#include <utility>

#include "hostfiles/Compiler.h"
#include "platform/appkit/InputBlocker.h"

namespace app {
namespace {

// The run under way holds the blocker; none is under way without it.
std::unique_ptr<appkit::InputBlocker>& blocker() {
  static std::unique_ptr<appkit::InputBlocker> current;
  return current;
}

bool start(void (*run)(Compiler::Completion), AdministratorRun::Completion completion) {
  if (blocker()) return false;
  blocker() = std::make_unique<appkit::InputBlocker>();
  run([completion = std::move(completion)](std::optional<foundation::Error> failure) {
    // Input is back before the outcome is told, so that an alert about it can be answered.
    blocker().reset();
    if (completion) completion(failure);
  });
  return true;
}

}  // namespace

bool AdministratorRun::isRunning() { return blocker() != nullptr; }

bool AdministratorRun::apply(Completion completion) { return start(Compiler::apply, std::move(completion)); }

bool AdministratorRun::flushDNSCache(Completion completion) {
  return start(Compiler::flushDNSCache, std::move(completion));
}

}  // namespace app
