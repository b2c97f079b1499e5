#include "telemetry/core/TLCustomProperties.h"

#include <cmath>
#include <memory>
#include <mutex>

#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/String.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

// The compiled key pattern, made on first use; a failed compile is tried again next time.
std::shared_ptr<foundation::RegularExpression> keyExpression() {
  static std::mutex mutex;
  static std::shared_ptr<foundation::RegularExpression> expression;
  std::lock_guard lock(mutex);
  if (expression) return expression;
  foundation::Error error;
  expression = foundation::RegularExpression::create(TLCustomProperties::kKeyPattern, 0, &error);
  if (!expression) {
    TLLogError(kTLLogTag, "Couldn't create regular expression with pattern\"%@\": %@", TLCustomProperties::kKeyPattern,
               error.localizedDescription());
  }
  return expression;
}

// Whether the pattern matches the whole key. "$" also matches before a final line break, so a
// match alone would let "key\n" through; the match must cover every character.
bool matchesKeyPattern(const foundation::RegularExpression& expression, const std::string& key) {
  const auto match = expression.firstMatch(key);
  return match && match->range().location == 0 && match->range().length == foundation::length16(key);
}

}  // namespace

TLCustomProperties& TLCustomProperties::setString(const std::optional<std::string>& value,
                                                  const std::optional<std::string>& key) {
  return setObject(value ? foundation::Value(*value) : foundation::Value(), key);
}

TLCustomProperties& TLCustomProperties::setBool(bool value, const std::optional<std::string>& key) {
  return setObject(foundation::Value(value), key);
}

TLCustomProperties& TLCustomProperties::setDate(const std::optional<foundation::Date>& value,
                                                const std::optional<std::string>& key) {
  return setObject(value ? foundation::Value(*value) : foundation::Value(), key);
}

TLCustomProperties& TLCustomProperties::setObject(const foundation::Value& value,
                                                  const std::optional<std::string>& key) {
  std::lock_guard lock(monitor_);
  // The key first: a replacement with a bad value still warns about the override.
  if (isValidKey(key) && isValidValue(value)) properties_.set(*key, value);
  return *this;
}

TLCustomProperties& TLCustomProperties::clearPropertyForKey(const std::optional<std::string>& key) {
  std::lock_guard lock(monitor_);
  if (isValidKey(key)) properties_.set(*key, foundation::Value());
  return *this;
}

bool TLCustomProperties::isValidKey(const std::optional<std::string>& key) {
  const auto expression = keyExpression();
  if (!expression) return false;
  if (!key || !matchesKeyPattern(*expression, *key)) {
    TLLogError(kTLLogTag, "Custom property \"%@\" must match \"%@\"", key, kKeyPattern);
    return false;
  }
  if (foundation::length16(*key) > kMaxKeyLength) {
    TLLogError(kTLLogTag, "Custom property \"%@\" length cannot be longer than \"%d\" characters.", *key,
               static_cast<int>(kMaxKeyLength));
    return false;
  }
  std::lock_guard lock(monitor_);
  if (properties_.contains(*key)) {
    TLLogWarning(kTLLogTag, "Custom property \"%@\" is already set or cleared and will be overridden.", *key);
    return true;
  }
  if (properties_.size() >= kMaxPropertiesCount) {
    TLLogError(kTLLogTag, "Custom properties cannot contain more than \"%d\" items.",
               static_cast<int>(kMaxPropertiesCount));
    return false;
  }
  return true;
}

bool TLCustomProperties::isValidValue(const foundation::Value& value) {
  if (value.isNull()) {
    TLLogError(kTLLogTag, "Custom property value cannot be null, did you mean to call clear?");
    return false;
  }
  if (value.isString() && foundation::length16(value.stringValue()) > kMaxStringValueLength) {
    TLLogError(kTLLogTag, "Custom property value length cannot be longer than \"%d\" characters.",
               static_cast<int>(kMaxStringValueLength));
    return false;
  }
  if (value.isNumber() && !std::isfinite(value.doubleValue())) {
    TLLogError(kTLLogTag, "Custom property value cannot be NaN or infinite.");
    return false;
  }
  return true;
}

foundation::Dictionary TLCustomProperties::propertiesImmutableCopy() {
  std::lock_guard lock(monitor_);
  return properties_;
}
