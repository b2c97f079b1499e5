#pragma once
// Validation of the analytics service: trims event and page names and their properties before a
// log is stored, and tells the channel to drop logs whose name is unusable. The channel filter runs
// on the channel group's queue just before a log is stored; the typed-property validation runs on
// the tracking thread before the event log is made. Stateless and thread-safe, except that the
// log operations change the log handed in.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"
#include "telemetry/analytics/Model/TLLogWithNameAndProperties.h"
#include "telemetry/analytics/TLEventProperties.h"
#include "telemetry/core/Internals/Model/TLLog.h"
#include "telemetry/core/Internals/Model/TLTypedProperty.h"

namespace TLAnalyticsValidation {

// Names longer than this many UTF-16 units are cut.
inline constexpr std::size_t kTLMaxEventNameLength = 256;
// At most this many typed properties are kept.
inline constexpr std::size_t kTLMaxTypedPropertiesPerEvent = 20;
// Typed property keys and string values longer than this many UTF-16 units are cut.
inline constexpr std::size_t kTLMaxTypedPropertyKeyLength = 125;
inline constexpr std::size_t kTLMaxTypedPropertyValueLength = 125;

// The channel filter: true to drop `log`. Event and page logs are validated (and trimmed in
// place) by validateLog and dropped when it refuses them; every other log is kept as it is.
bool shouldFilterLog(const std::shared_ptr<TLLog>& log);

// Whether `log` may be kept: false, leaving the log unchanged, when its name is unusable;
// otherwise true, with the name cut to 256 units and the string properties validated (an absent
// dictionary becomes an empty one, which the JSON leaves out).
bool validateLog(TLLogWithNameAndProperties& log);

// The name to use: `name` itself, or its first 256 UTF-16 units (whole characters) with a
// WARNING line. Nothing, with an ERROR line naming `logType`, for an absent or empty name.
std::optional<std::string> validateEventName(const std::optional<std::string>& name, std::string_view logType);

// The string properties to keep: the core's property validation (20 entries, keys and values of
// at most 125 units) of `properties`, its lines naming the log by `logName` and `logType`.
foundation::Dictionary validateProperties(const foundation::Dictionary& properties, std::string_view logName,
                                          std::string_view logType);

// A new bag with validated copies of the first 20 properties of `properties` (in its order; a
// WARNING line when more are left out). Copies whose shortened names agree end as one, the later
// one winning. A null bag gives an empty one. Owned by the caller.
std::shared_ptr<TLEventProperties> validateTelemetryEventProperties(const std::shared_ptr<TLEventProperties>& properties);

// A copy of `property` with its name validated and, for a string, its value; null for a property
// of no known kind. The original is not changed.
std::shared_ptr<TLTypedProperty> validateTelemetryTypedProperty(const TLTypedProperty& property);

// The key to use: its first 125 UTF-16 units, with a WARNING line when it was longer. Empty keys
// pass.
std::string validateTelemetryPropertyName(const std::string& key);

// The string value to use: its first 125 UTF-16 units, with a WARNING line when it was longer.
std::string validateTelemetryStringTypedPropertyValue(const std::string& value);

}  // namespace TLAnalyticsValidation
