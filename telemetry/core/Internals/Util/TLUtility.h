#pragma once
// TLUtility gathers the telemetry SDK's class-level helpers. This header holds the application
// environment and state, the SDK's own name and version, and the SDK's dates; the string, file and
// property-validation helpers live in TLUtility+StringFormatting.h, TLUtility+File.h and
// TLUtility+PropertyValidation.h, each adding to the same namespace.
//
// The SDK's name and version are kept in a record of 97 bytes in the executable's read-only
// section "__tl_sdk", where tools can read them without running the program: a version byte (1),
// then three NUL-padded 32-byte texts, the name, the version and "1".
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "telemetry/core/TLConstants.h"

namespace appkit {
class Application;
class ApplicationDelegate;
}  // namespace appkit

namespace TLUtility {

// ---- Application ------------------------------------------------------------------------------

// TLAppEnvironmentOther: there is no application store here. Thread-safe.
TLAppEnvironment currentAppEnvironment();
// Whether the main bundle has the resource "embedded.mobileprovision". Thread-safe.
bool hasEmbeddedMobileProvision();
// False: bundles here offer no store receipt, so none can be a sandbox receipt. Thread-safe.
bool isAppStoreReceiptSandbox();

// TLApplicationStateUnknown inside an app extension (an executable path containing ".appex/"),
// else sharedAppState(). Thread-safe.
TLApplicationState applicationState();
// Off the main thread TLApplicationStateUnknown; on it TLApplicationStateBackground when the
// application is hidden (see appkit::isApplicationHidden), else TLApplicationStateActive.
TLApplicationState sharedAppState();

// The running application object, or null when the process runs none (tools, tests). Not owned.
// Main thread only.
appkit::Application* sharedApp();
// The application's delegate, or null. Main thread only.
std::shared_ptr<appkit::ApplicationDelegate> sharedAppDelegate();
// Opens `url` with the shared workspace, asynchronously on the main queue, then calls
// `completionHandler` (when given) there with whether the workspace opened it. `options` are not
// used. Thread-safe.
void sharedAppOpenUrl(const net::URL& url, const foundation::Dictionary& options,
                      std::function<void(bool success)> completionHandler);

// ---- The SDK --------------------------------------------------------------------------------

// "telemetry.macos", read from the "__tl_sdk" record. Thread-safe.
std::string sdkName();
// "2.4.0", read from the "__tl_sdk" record. Thread-safe.
std::string sdkVersion();

// ---- Dates ----------------------------------------------------------------------------------

// Milliseconds since 1970-01-01 UTC, with their fraction. Thread-safe.
double nowInMilliseconds();
// `date` as "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, in the proleptic Gregorian calendar (before
// 1582 too), milliseconds cut off after the third digit of the instant rounded to the
// microsecond ("2019-01-31T13:45:07.123Z"; what dateFromISO8601 read is written back as it
// was). Thread-safe.
std::string dateToISO8601(foundation::Date date);
// The date that text of that pattern denotes; nothing for text in another form (without the
// milliseconds, with an offset, with anything after the "Z"). Thread-safe.
std::optional<foundation::Date> dateFromISO8601(std::string_view text);

}  // namespace TLUtility
