#pragma once
// TLCustomProperties collects the named values the application attaches to its installation:
// texts, numbers, booleans and dates, or markers that clear a name set earlier. Each key and
// value is checked as it is set, with a log line for every refusal, so only valid entries reach
// the custom-properties log.
//
// Limits: keys are an ASCII letter followed by ASCII letters and digits, at most 128 characters;
// at most 60 distinct keys; texts at most 128 characters (UTF-16 units); numbers finite.
//
// Every operation is thread-safe (the object's own re-entrant lock).
#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/foundation/Date.h"
#include "platform/foundation/Monitor.h"
#include "platform/foundation/Value.h"

class TLCustomProperties {
 public:
  static constexpr std::size_t kMaxKeyLength = 128;
  static constexpr std::size_t kMaxStringValueLength = 128;
  static constexpr std::size_t kMaxPropertiesCount = 60;
  // The pattern every key must match as a whole.
  static constexpr const char* kKeyPattern = "^[a-zA-Z][a-zA-Z0-9]*$";

  TLCustomProperties() = default;
  TLCustomProperties(const TLCustomProperties&) = delete;
  TLCustomProperties& operator=(const TLCustomProperties&) = delete;

  // Each setter stores the value under the key when both pass their checks; a refused entry
  // leaves everything as it was (see isValidKey and isValidValue for the log lines). An absent
  // value is refused. Each answers the object itself, so calls can be chained.
  TLCustomProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
  template <class N>
    requires std::is_arithmetic_v<N>
  TLCustomProperties& setNumber(N value, const std::optional<std::string>& key) {
    return setObject(foundation::Value(value), key);
  }
  TLCustomProperties& setBool(bool value, const std::optional<std::string>& key);
  TLCustomProperties& setDate(const std::optional<foundation::Date>& value, const std::optional<std::string>& key);
  // Stores any value; a null value counts as absent and is refused.
  TLCustomProperties& setObject(const foundation::Value& value, const std::optional<std::string>& key);
  // Marks the key to be cleared (a null value in the dictionary) when the key passes its check.
  TLCustomProperties& clearPropertyForKey(const std::optional<std::string>& key);

  // Whether `key` may be set now: it matches the key pattern (ERROR otherwise), is at most 128
  // characters (ERROR), and is either set already (accepted with a WARNING that it will be
  // overridden) or new while fewer than 60 keys are held (ERROR otherwise).
  bool isValidKey(const std::optional<std::string>& key);
  // Whether `value` may be stored: not null (ERROR), a text of at most 128 characters (ERROR),
  // a finite number (ERROR); anything else passes.
  static bool isValidValue(const foundation::Value& value);

  // A copy of the entries, null values marking keys to clear, in the order they were first set.
  foundation::Dictionary propertiesImmutableCopy();

 private:
  foundation::Monitor monitor_;
  foundation::Dictionary properties_;
};
