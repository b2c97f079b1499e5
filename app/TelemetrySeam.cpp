#include "app/TelemetrySeam.h"

namespace app {

void startTelemetry() {}

void trackEvent(const std::string& name) { static_cast<void>(name); }

}  // namespace app
