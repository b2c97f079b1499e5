#pragma once
// TLUserDefaults is the telemetry SDK's settings store: the platform's user defaults, keys used
// as given, plus dictionary updates that answer what changed and let a stored dictionary expire.
//
// An updated dictionary is stored with a "_ts" entry beside the callers' entries: the time of the
// last change, in seconds since 2001-01-01 UTC. Thread-safe as far as the user defaults are; an
// update of one key is not atomic against another update of the same key.
#include <functional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/Value.h"

class TLUserDefaults {
 public:
  // Answers "now" for the expiry of updated dictionaries.
  using Clock = std::function<foundation::Date()>;

  // The shared store over the standard user defaults and the real clock; made once, never null.
  // Thread-safe.
  static TLUserDefaults& shared();

  // A store over `defaults` (which must outlive it) with `clock`. For tests and tools.
  explicit TLUserDefaults(foundation::UserDefaults& defaults, Clock clock = &foundation::Date::now);
  TLUserDefaults(const TLUserDefaults&) = delete;
  TLUserDefaults& operator=(const TLUserDefaults&) = delete;

  // The stored value, or null when there is none.
  foundation::Value objectForKey(const std::string& key) const;
  // Stores `value`; a null value removes the key. A value that is no property-list object is
  // refused with an ERROR line and nothing changes.
  void setObject(const foundation::Value& value, const std::string& key);
  // Removes the key.
  void removeObjectForKey(const std::string& key);

  // Merges the entries of `dictionary` that differ from those stored under `key` into the stored
  // dictionary, stamps it with "_ts" and stores it; answers the entries that differed (empty when
  // none). Once `expiration` seconds (> 0) have passed since the last stamp, every entry counts
  // as different. A stored value that is no dictionary counts as none and is replaced.
  foundation::Dictionary updateDictionary(const foundation::Dictionary& dictionary, const std::string& key,
                                          float expiration = 0);
  // updateDictionary with the one-entry dictionary {"v": value}; true when "v" was stored, that is
  // when the value changed or the stored one had expired.
  bool updateObject(const foundation::Value& value, const std::string& key, float expiration = 0);

 private:
  TLUserDefaults() = default;
  foundation::UserDefaults& defaults() const;
  foundation::Date now() const;

  foundation::UserDefaults* defaults_ = nullptr;  // null: the standard defaults, looked up at each use
  Clock clock_;
};
