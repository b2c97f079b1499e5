#include "telemetry/core/Internals/Util/TLKeychainUtil.h"

#include "platform/foundation/Bundle.h"
#include "platform/security/Keychain.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"

using foundation::Data;
using foundation::Dictionary;
using foundation::Value;
using security::OSStatus;

const std::string& TLKeychainUtil::defaultServiceName() {
  static const std::string name =
      foundation::Bundle::mainBundle()->bundleIdentifier().value_or("") + ".Telemetry";
  return name;
}

bool TLKeychainUtil::storeString(const std::string& string, const std::string& key, const std::string& serviceName) {
  const Dictionary query = generateItem(key, serviceName);
  Dictionary item = query;
  item.set(security::kSecValueData, Data(string.begin(), string.end()));
  OSStatus status = addSecItem(item);
  if (status == security::errSecDuplicateItem) {
    // Replaced in place rather than deleted and added again, so that no moment exists without
    // the item.
    status = updateSecItem(query, {{security::kSecValueData, Data(string.begin(), string.end())}});
  }
  return status == security::errSecSuccess;
}

bool TLKeychainUtil::storeString(const std::string& string, const std::string& key) {
  return storeString(string, key, defaultServiceName());
}

std::optional<std::string> TLKeychainUtil::stringForKey(const std::string& key, const std::string& serviceName,
                                                        OSStatus* status) {
  Dictionary query = generateItem(key, serviceName);
  query.set(security::kSecReturnData, true);
  query.set(security::kSecMatchLimit, security::kSecMatchLimitOne);
  Value result;
  const OSStatus answer = secItemCopyMatchingQuery(query, &result);
  if (status) *status = answer;
  if (answer != security::errSecSuccess || !result.isData()) return std::nullopt;
  return TLUtility::stringFromUTF8Data(result.dataValue());
}

std::optional<std::string> TLKeychainUtil::stringForKey(const std::string& key, OSStatus* status) {
  return stringForKey(key, defaultServiceName(), status);
}

std::optional<std::string> TLKeychainUtil::deleteStringForKey(const std::string& key, const std::string& serviceName) {
  auto string = stringForKey(key, serviceName);
  if (!string || deleteSecItem(generateItem(key, serviceName)) != security::errSecSuccess) return std::nullopt;
  return string;
}

std::optional<std::string> TLKeychainUtil::deleteStringForKey(const std::string& key) {
  return deleteStringForKey(key, defaultServiceName());
}

bool TLKeychainUtil::clear() {
  const Dictionary query{{security::kSecClass, security::kSecClassGenericPassword},
                         {security::kSecAttrService, defaultServiceName()}};
  return deleteSecItem(query) == security::errSecSuccess;
}

Dictionary TLKeychainUtil::generateItem(const std::string& key, const std::string& serviceName) {
  return {{security::kSecClass, security::kSecClassGenericPassword},
          {security::kSecAttrService, serviceName},
          {security::kSecAttrAccount, key}};
}

OSStatus TLKeychainUtil::addSecItem(const Dictionary& item) { return security::itemAdd(item); }

OSStatus TLKeychainUtil::deleteSecItem(const Dictionary& query) { return security::itemDelete(query); }

OSStatus TLKeychainUtil::updateSecItem(const Dictionary& query, const Dictionary& changes) {
  return security::itemUpdate(query, changes);
}

OSStatus TLKeychainUtil::secItemCopyMatchingQuery(const Dictionary& query, Value* result) {
  return security::itemCopyMatching(query, result);
}
