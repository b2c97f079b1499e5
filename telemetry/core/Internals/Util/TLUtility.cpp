#include "telemetry/core/Internals/Util/TLUtility.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/appkit/Application.h"
#include "platform/appkit/ApplicationVisibility.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/String.h"

namespace {

// The SDK's name and version as tools find them in the executable. Only bytes, so it has no
// padding: 1 + 3 * 32 = 97 bytes.
struct SdkRecord {
  std::uint8_t version;
  char name[32];
  char sdkVersion[32];
  char third[32];
};
static_assert(sizeof(SdkRecord) == 97);

// "used" keeps the compiler from dropping the record and "retain" keeps the linker from
// collecting its section; being const, it lands in a read-only section.
[[gnu::section("__tl_sdk"), gnu::used, gnu::retain]] const SdkRecord kSdkRecord = {
    1, "telemetry.macos", "2.4.0", "1"};

std::string fieldText(const char (&field)[32]) {
  return std::string(field, strnlen(field, sizeof field));
}

// The one formatter of the SDK's dates. Formatters are not safe across threads, so every use
// holds the mutex.
struct ISO8601Formatter {
  std::mutex lock;
  foundation::DateFormatter formatter;
  ISO8601Formatter() {
    formatter.setLocaleIdentifier("en_US_POSIX");
    formatter.setTimeZoneIdentifier("UTC");
    formatter.setDateFormat("yyyy-MM-dd'T'HH:mm:ss.SSS'Z'");
    // ISO 8601 and the services reading these dates count every year in the Gregorian calendar.
    formatter.setGregorianStartDate(foundation::Date::distantPast());
  }
};

ISO8601Formatter& iso8601Formatter() {
  static ISO8601Formatter* instance = new ISO8601Formatter();  // dates may be written during exit
  return *instance;
}

}  // namespace

namespace TLUtility {

TLAppEnvironment currentAppEnvironment() {
  return TLAppEnvironmentOther;
}

bool hasEmbeddedMobileProvision() {
  return foundation::Bundle::mainBundle()->pathForResource("embedded", "mobileprovision").has_value();
}

bool isAppStoreReceiptSandbox() {
  return false;
}

TLApplicationState applicationState() {
  if (foundation::containsString(foundation::Bundle::mainBundle()->executablePath(), ".appex/")) {
    return TLApplicationStateUnknown;
  }
  return sharedAppState();
}

TLApplicationState sharedAppState() {
  if (!dispatch::Queue::isMainThread()) return TLApplicationStateUnknown;
  return appkit::isApplicationHidden() ? TLApplicationStateBackground : TLApplicationStateActive;
}

appkit::Application* sharedApp() {
  return appkit::Application::shared();
}

std::shared_ptr<appkit::ApplicationDelegate> sharedAppDelegate() {
  appkit::Application* application = sharedApp();
  return application ? application->delegate() : nullptr;
}

void sharedAppOpenUrl(const net::URL& url, const foundation::Dictionary& /*options*/,
                      std::function<void(bool success)> completionHandler) {
  dispatch::mainQueue()->async([url, completionHandler = std::move(completionHandler)] {
    const bool opened = appkit::Workspace::sharedWorkspace()->openURL(url.absoluteString());
    if (completionHandler) completionHandler(opened);
  });
}

std::string sdkName() {
  return fieldText(kSdkRecord.name);
}

std::string sdkVersion() {
  return fieldText(kSdkRecord.sdkVersion);
}

double nowInMilliseconds() {
  return foundation::Date::now().timeIntervalSince1970() * 1000;
}

std::string dateToISO8601(foundation::Date date) {
  ISO8601Formatter& shared = iso8601Formatter();
  std::lock_guard guard(shared.lock);
  return shared.formatter.stringFromDate(date);
}

std::optional<foundation::Date> dateFromISO8601(std::string_view text) {
  ISO8601Formatter& shared = iso8601Formatter();
  std::lock_guard guard(shared.lock);
  return shared.formatter.dateFromString(std::string(text));
}

}  // namespace TLUtility
