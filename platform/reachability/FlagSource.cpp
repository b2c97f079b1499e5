#include "platform/reachability/FlagSource.h"

#include <mutex>

#include "platform/reachability/SystemFlagSource.h"
#include "platform/reachability/Target.h"

namespace reachability {

namespace {

struct Installed {
  std::mutex mutex;
  std::shared_ptr<FlagSource> source;
};

Installed& installed() {
  static auto* shared = new Installed();
  return *shared;
}

}  // namespace

std::shared_ptr<FlagSource> systemFlagSource() {
  static auto* source = new std::shared_ptr<FlagSource>(std::make_shared<SystemFlagSource>());
  return *source;
}

std::shared_ptr<FlagSource> currentFlagSource() {
  {
    auto& current = installed();
    std::lock_guard lock(current.mutex);
    if (current.source) return current.source;
  }
  return systemFlagSource();
}

void setFlagSource(std::shared_ptr<FlagSource> source) {
  std::shared_ptr<FlagSource> previous;
  {
    auto& current = installed();
    std::lock_guard lock(current.mutex);
    previous = current.source;
    current.source = source;
  }
  if (previous && previous != source) previous->setChangeHandler({});
  currentFlagSource()->setChangeHandler(&Target::flagsMayHaveChanged);
  Target::flagsMayHaveChanged();
}

}  // namespace reachability
