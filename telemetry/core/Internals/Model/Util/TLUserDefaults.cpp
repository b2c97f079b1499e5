#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"

#include <cmath>
#include <optional>

#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr const char* kTimestampKey = "_ts";
constexpr const char* kValueKey = "v";

}  // namespace

TLUserDefaults& TLUserDefaults::shared() {
  static TLUserDefaults* instance = new TLUserDefaults();  // lives as long as the process
  return *instance;
}

TLUserDefaults::TLUserDefaults(foundation::UserDefaults& defaults, Clock clock)
    : defaults_(&defaults), clock_(std::move(clock)) {}

// The standard defaults are asked for at each use: they may be rebuilt (in tests) under a store
// that is made only once.
foundation::UserDefaults& TLUserDefaults::defaults() const {
  return defaults_ ? *defaults_ : foundation::UserDefaults::standardUserDefaults();
}

foundation::Date TLUserDefaults::now() const {
  return clock_ ? clock_() : foundation::Date::now();
}

foundation::Value TLUserDefaults::objectForKey(const std::string& key) const {
  return defaults().objectForKey(key);
}

void TLUserDefaults::setObject(const foundation::Value& value, const std::string& key) {
  if (!defaults().set(value, key)) {
    TLLogError(kTLLogTag, "Couldn't store the setting %@: the value is not a property-list object.", key);
  }
}

void TLUserDefaults::removeObjectForKey(const std::string& key) {
  defaults().removeObjectForKey(key);
}

foundation::Dictionary TLUserDefaults::updateDictionary(const foundation::Dictionary& dictionary,
                                                        const std::string& key, float expiration) {
  const foundation::Value storedValue = defaults().objectForKey(key);
  std::optional<foundation::Value> stored;
  if (storedValue.isDictionary()) stored = storedValue;
  const double stamp = stored ? stored->dictionaryValue().get(kTimestampKey).doubleValue() : 0;
  TLLogVerbose(kTLLogTag, "Settings:store[%@]=%@", key, stored);

  const double now = this->now().timeIntervalSinceReferenceDate();
  const bool expired = expiration > 0 && stamp > 0 && std::fabs(now - stamp) >= expiration;
  foundation::Dictionary changes;
  for (const auto& [entryKey, value] : dictionary) {
    const foundation::Value* old = stored ? stored->dictionaryValue().find(entryKey) : nullptr;
    if (expired || old == nullptr || *old != value) changes.set(entryKey, value);
  }
  if (changes.empty()) return changes;

  TLLogDebug(kTLLogTag, "Settings:update[%@]=%@", key, foundation::Value(changes));
  foundation::Dictionary updated = stored ? stored->dictionaryValue() : foundation::Dictionary();
  for (const auto& [entryKey, value] : changes) updated.set(entryKey, value);
  updated.set(kTimestampKey, now);
  setObject(updated, key);
  return changes;
}

bool TLUserDefaults::updateObject(const foundation::Value& value, const std::string& key, float expiration) {
  return updateDictionary(foundation::Dictionary{{kValueKey, value}}, key, expiration).contains(kValueKey);
}
