#pragma once
// Property validation of TLUtility: cleans the string properties of a log before they are
// attached to it. Stateless and thread-safe.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace TLUtility {

// At most this many properties are kept.
inline constexpr std::size_t kTLMaxPropertiesPerLog = 20;
// Keys and values longer than this many UTF-16 units are cut.
inline constexpr std::size_t kTLMaxPropertyKeyLength = 125;
inline constexpr std::size_t kTLMaxPropertyValueLength = 125;

// A new dictionary of the string properties of `properties`, in their order: pairs whose value is
// no string are dropped silently, empty keys with a WARNING line; keys and values longer than
// 125 UTF-16 units are cut to 125 (124 where the 125th unit would split a surrogate pair) with a
// WARNING line; a cut key equal to an earlier one replaces its value. After 20 pairs the rest is
// skipped with one WARNING line. `logName` and `type` only name the log in those lines.
foundation::Dictionary validateProperties(const foundation::Dictionary& properties, std::string_view logName,
                                          std::string_view type);

// The first `maxLength` UTF-16 units of `text`, one fewer when the last kept unit would be the
// first half of a surrogate pair, so that the result is always whole characters.
std::string truncatedToLength(std::string_view text, std::size_t maxLength);

}  // namespace TLUtility
