#include "telemetry/core/Internals/Util/TLUtility+PropertyValidation.h"

#include "platform/foundation/String.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace TLUtility {

std::string truncatedToLength(std::string_view text, std::size_t maxLength) {
  if (foundation::isASCII(text)) return std::string(text.substr(0, maxLength));
  const std::u16string units = foundation::utf16(text);
  if (units.size() <= maxLength) return std::string(text);
  std::size_t cut = maxLength;
  // Cutting between the halves of a pair would leave a lone surrogate, which is no text at all and
  // makes the JSON of the log invalid: keep the pair out instead.
  if (cut > 0 && units[cut - 1] >= 0xD800 && units[cut - 1] <= 0xDBFF) --cut;
  return foundation::utf8(std::u16string_view(units).substr(0, cut));
}

foundation::Dictionary validateProperties(const foundation::Dictionary& properties, std::string_view logName,
                                          std::string_view type) {
  foundation::Dictionary valid;
  // Named references rather than a structured binding: the logging macros' lambdas capture them,
  // which clang 14 cannot do with bindings.
  for (const auto& entry : properties) {
    const std::string& key = entry.first;
    const foundation::Value& value = entry.second;
    if (valid.size() >= kTLMaxPropertiesPerLog) {
      TLLogWarning(kTLLogTag, "%@ '%@' : properties cannot contain more than %d items. Skipping other properties.",
                   type, logName, static_cast<int>(kTLMaxPropertiesPerLog));
      break;
    }
    if (!value.isString()) continue;
    if (key.empty()) {
      TLLogWarning(kTLLogTag, "%@ '%@' : a property key cannot be null or empty. Property will be skipped.", type,
                   logName);
      continue;
    }
    std::string validKey = key;
    if (foundation::length16(key) > kTLMaxPropertyKeyLength) {
      TLLogWarning(kTLLogTag,
                   "%@ '%@' : property %@ : property key length cannot be longer than %d characters. Property key "
                   "will be truncated.",
                   type, logName, key, static_cast<int>(kTLMaxPropertyKeyLength));
      validKey = truncatedToLength(key, kTLMaxPropertyKeyLength);
    }
    std::string validValue = value.stringValue();
    if (foundation::length16(validValue) > kTLMaxPropertyValueLength) {
      TLLogWarning(kTLLogTag,
                   "%@ '%@' : property '%@' : property value cannot be longer than %d characters. Property value "
                   "will be truncated.",
                   type, logName, validKey, static_cast<int>(kTLMaxPropertyValueLength));
      validValue = truncatedToLength(validValue, kTLMaxPropertyValueLength);
    }
    valid.set(validKey, std::move(validValue));
  }
  return valid;
}

}  // namespace TLUtility
