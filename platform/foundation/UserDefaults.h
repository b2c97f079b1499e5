#pragma once
// UserDefaults stands in for the platform's user defaults: a persistent key-value store of
// property-list values per suite (the standard one is named after the main bundle's identifier),
// in front of a registration domain of fallback values that is never saved.
//
// The persistent domain lives in one binary property list, $XDG_CONFIG_HOME/<suite>.plist
// (default ~/.config; mode 0600), read lazily at first use and written atomically: at synchronize(), soon
// after a change (a background flush about a second later) and at process exit. A file that
// cannot be parsed is renamed to "<suite>.plist.corrupt-<UTC timestamp>", reported with one line
// through the foundation log, and the store starts from the registration domain. A file that
// exists but cannot be read (no permission) is left alone and changes stay in memory. Several UserDefaults
// for the same suite in one process share one store. Changes made by other processes to the file
// after it was read are not merged: the last writer wins.
//
// All member functions are thread-safe.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation {

class UserDefaults {
 public:
  // The defaults of the main bundle's identifier (see Bundle); lives as long as the process.
  static UserDefaults& standardUserDefaults();
  // Drops the standard defaults (after saving them) so that the next call builds them anew
  // from the current environment and main bundle. For tests.
  static void resetStandardUserDefaultsForTesting();

  // The defaults of `suiteName`; an empty name means the main bundle's identifier. A "/" in the
  // name is replaced by "_" so that the file stays inside the config folder.
  explicit UserDefaults(const std::string& suiteName = {});
  // Saves pending changes.
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // Merges `defaults` into the registration domain (later registrations replace earlier ones
  // key by key). Registered values are answered when the persistent domain lacks the key.
  void registerDefaults(const Dictionary& defaults);

  // The stored value, else the registered one, else null.
  Value objectForKey(const std::string& key) const;
  // Numbers and Booleans convert; strings "YES"/"true" (any case) are true, other strings by
  // their leading integer; anything else (or nothing) is false.
  bool boolForKey(const std::string& key) const;
  // Numbers and Booleans convert; strings by their leading number; anything else gives 0.
  std::int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  // A string value, or a number in its description form; nothing for other types.
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<Array> arrayForKey(const std::string& key) const;
  std::optional<Dictionary> dictionaryForKey(const std::string& key) const;
  // Data, or the UTF-8 bytes of a string value; nothing for other types.
  std::optional<Data> dataForKey(const std::string& key) const;

  // Stores `value` under `key` in the persistent domain; a null value removes the key.
  // Returns false (and stores nothing) when the value cannot live in a property list
  // (objects, nulls inside containers, out-of-range dates).
  bool set(const Value& value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // The registration domain overlaid with the persistent domain.
  Dictionary dictionaryRepresentation() const;
  // The persistent domain alone.
  Dictionary persistentDomain() const;

  // Writes the persistent domain when it changed since the last write. Returns true when the
  // file is up to date, false when writing failed (the changes stay pending) or when an
  // unreadable (not corrupt, e.g. no permission) file must not be overwritten.
  bool synchronize();

  // The file that holds this suite.
  std::string filePath() const;

  class Store;  // shared per suite; defined in the .cpp

 private:
  std::shared_ptr<Store> store_;
};

}  // namespace foundation
