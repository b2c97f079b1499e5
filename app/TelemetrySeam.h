#pragma once
// TelemetrySeam is the one place where the application starts telemetry and sends its analytics
// events. Telemetry runs only when the build names both the ingestion service's base URL and the
// application's secret (the information keys below, filled from build settings that are empty by
// default); otherwise nothing is started, recorded or sent, and events reach only the observer,
// which tests install to see which events an action sends, and when.
#include <functional>
#include <memory>
#include <string>

class TLCrashesDelegate;

namespace app {

// Information keys of the main bundle: the ingestion's base URL and the application's secret.
// Missing or blank, telemetry stays off.
inline constexpr const char* kTelemetryIngestionURLKey = "QMTelemetryIngestionURL";
inline constexpr const char* kTelemetryAppSecretKey = "QMTelemetryAppSecret";

// The first start-up step. When both settings are present: makes `crashesDelegate` (may be null)
// the crash service's delegate, points the SDK at the configured URL and starts it with the secret
// and the analytics and crash services; the crash service then sends the reports of an earlier
// crash. The SDK is started once per process: a later call only replaces the crash delegate.
// Without the settings it does nothing, so no telemetry file is written and nothing is sent.
// Main thread.
void startTelemetry(const std::shared_ptr<TLCrashesDelegate>& crashesDelegate);

// Whether startTelemetry has started the SDK in this process. Main thread.
bool isTelemetryStarted();

// Sends the analytics event `name`, without properties, to the observer if one is set and, once
// telemetry is started, to the analytics service. Main thread.
void trackEvent(const std::string& name);

// Replaces the observer of trackEvent (empty removes it). Main thread.
void setTrackEventObserver(std::function<void(const std::string& name)> observer);

}  // namespace app
