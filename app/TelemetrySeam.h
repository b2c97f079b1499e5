#pragma once
// TelemetrySeam is the one place where the application starts telemetry and sends its analytics
// events. No telemetry service is connected behind it yet, so both calls reach only an optional
// observer (which tests install to see which events an action sends, and when); the telemetry
// service plugs in here later without touching callers.
#include <functional>
#include <string>

namespace app {

// Starts the telemetry services at launch (the first start-up step). Does nothing yet. Main
// thread.
void startTelemetry();

// Sends the analytics event `name`, without properties, to the observer if one is set. Main
// thread.
void trackEvent(const std::string& name);

// Replaces the observer of trackEvent (empty removes it). Main thread.
void setTrackEventObserver(std::function<void(const std::string& name)> observer);

}  // namespace app
