#include "app/TelemetrySeam.h"

#include <utility>

namespace app {
namespace {

std::function<void(const std::string&)>& observer() {
  static std::function<void(const std::string&)> instance;
  return instance;
}

}  // namespace

void startTelemetry() {}

void trackEvent(const std::string& name) {
  if (observer()) observer()(name);
}

void setTrackEventObserver(std::function<void(const std::string& name)> newObserver) {
  observer() = std::move(newObserver);
}

}  // namespace app
