#include "app/TelemetrySeam.h"

#include <utility>

#include "app/WindowParts.h"
#include "telemetry/analytics/TLAnalytics.h"
#include "telemetry/core/TLServiceClass.h"
#include "telemetry/core/TLTelemetry.h"
#include "telemetry/crashes/TLCrashes.h"

namespace app {
namespace {

std::function<void(const std::string&)>& observer() {
  static std::function<void(const std::string&)> instance;
  return instance;
}

bool& started() {
  static bool instance = false;
  return instance;
}

}  // namespace

void startTelemetry(const std::shared_ptr<TLCrashesDelegate>& crashesDelegate) {
  const std::string ingestionURL = configuredEndpoint(kTelemetryIngestionURLKey);
  const std::string appSecret = configuredEndpoint(kTelemetryAppSecretKey);
  if (ingestionURL.empty() || appSecret.empty()) return;
  // The delegate is in place before the crash service starts and handles an earlier crash.
  TLCrashes::setDelegate(crashesDelegate);
  if (started()) return;
  started() = true;
  TLTelemetry::setLogUrl(ingestionURL);
  TLTelemetry::start(appSecret, {TLServiceClass::of<TLAnalytics>(), TLServiceClass::of<TLCrashes>()});
}

bool isTelemetryStarted() { return started(); }

void trackEvent(const std::string& name) {
  if (observer()) observer()(name);
  if (started()) TLAnalytics::trackEvent(name);
}

void setTrackEventObserver(std::function<void(const std::string& name)> newObserver) {
  observer() = std::move(newObserver);
}

}  // namespace app
