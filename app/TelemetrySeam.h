#pragma once
// TelemetrySeam is the one place where the application starts telemetry and sends its analytics
// events. Nothing is connected behind it yet: both calls do nothing, so the shell calls them at
// the moments it must and the telemetry service can be plugged in later without touching callers.
#include <string>

namespace app {

// Starts the telemetry services at launch (the first start-up step). Does nothing yet. Main
// thread.
void startTelemetry();

// Sends the analytics event `name`, without properties. Does nothing yet. Main thread.
void trackEvent(const std::string& name);

}  // namespace app
