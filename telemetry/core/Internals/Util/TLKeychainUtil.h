#pragma once
// TLKeychainUtil keeps the SDK's small secrets (its encryption keys) as strings in the keychain:
// one generic-password item per service and key (the item's account), the string's UTF-8 bytes
// as its data. Every operation is class-level, thread-safe, and acts on the user's keychain at
// once (nothing is cached).
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/security/Status.h"

class TLKeychainUtil {
 public:
  TLKeychainUtil() = delete;

  // The service of the SDK's items: the main bundle's identifier followed by ".Telemetry",
  // computed once per process.
  static const std::string& defaultServiceName();

  // Stores `string` under `key`, replacing what was stored there. True when stored; false when
  // the keychain refused or failed (nothing is replaced then).
  static bool storeString(const std::string& string, const std::string& key, const std::string& serviceName);
  static bool storeString(const std::string& string, const std::string& key);

  // The string stored under `key`, or nothing when there is none, it is not UTF-8 text, or the
  // keychain failed. `status` (when given) receives the keychain's answer, so that a caller can
  // tell errSecItemNotFound from a failure.
  static std::optional<std::string> stringForKey(const std::string& key, const std::string& serviceName,
                                                 security::OSStatus* status = nullptr);
  static std::optional<std::string> stringForKey(const std::string& key, security::OSStatus* status = nullptr);

  // Deletes the item under `key` and answers the string it held; nothing when there was none or
  // the deletion failed.
  static std::optional<std::string> deleteStringForKey(const std::string& key, const std::string& serviceName);
  static std::optional<std::string> deleteStringForKey(const std::string& key);

  // Deletes every item of the default service. True when the keychain deleted something.
  static bool clear();

  // A new query for the item of `key` in `serviceName`: its class, service and account.
  static foundation::Dictionary generateItem(const std::string& key, const std::string& serviceName);

  // The keychain's add, delete, update and copy-matching calls, their status answered unchanged.
  // `result` may be null.
  static security::OSStatus addSecItem(const foundation::Dictionary& item);
  static security::OSStatus deleteSecItem(const foundation::Dictionary& query);
  static security::OSStatus updateSecItem(const foundation::Dictionary& query, const foundation::Dictionary& changes);
  static security::OSStatus secItemCopyMatchingQuery(const foundation::Dictionary& query, foundation::Value* result);
};
