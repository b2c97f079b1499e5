#pragma once
// Keychain stands in for the platform's keychain item services, for generic-password items only:
// items identified by class, service and account, each holding a block of data. A keychain is a
// folder readable only by the user (mode 0700), by default
// $XDG_DATA_HOME/<bundle identifier or "quillmere">/keychain, holding one file per item (mode
// 0600, named by a digest of its service and account). Every change writes a temporary file,
// syncs it and renames it into place, so an item is always whole; nothing is encrypted at rest
// beyond the modes. Group or other access found on the folder or an item is taken away before
// use; a folder or item that is not the user's own, or not a plain folder or file, is refused.
// Left out: other item classes, access groups, accessibility and synchronisation attributes
// (accepted and ignored), and user prompts.
//
// Queries and attributes are dictionaries keyed by the constants below. The item functions are
// thread-safe and serialise their changes with other processes through a lock file in the folder,
// so two processes may share one keychain.
#include <string>

#include "platform/foundation/Value.h"
#include "platform/security/Status.h"

namespace security {

// Query and attribute keys and values, with the platform's key texts.
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";

class Keychain {
 public:
  // The folder of the user's keychain, from the environment at the time of the call.
  static std::string defaultPath();
  // The user's keychain (at defaultPath() as of this call).
  static Keychain defaultKeychain();

  // A keychain kept in the folder at `path`; the folder (and its parents) are made on the first
  // change. Reading a keychain whose folder does not exist finds nothing and makes nothing.
  explicit Keychain(std::string path);
  const std::string& path() const { return path_; }

  // Adds one item (SecItemAdd): kSecClass must be kSecClassGenericPassword; kSecAttrService and
  // kSecAttrAccount are strings (absent means empty); kSecValueData is the data (absent means empty).
  // Answers errSecSuccess, errSecDuplicateItem when an item with that class, service and account
  // exists, errSecParam for a missing class or a wrongly typed attribute (or a service or account
  // that is not UTF-8), errSecUnimplemented for another class, errSecDecode when the item's file is
  // damaged (it is left as it is), or errSecIO when the folder or a file cannot be used.
  OSStatus add(const foundation::Dictionary& attributes) const;
  // Finds items (SecItemCopyMatching) by class and, when given, service and account. With
  // kSecReturnData true the result holds the data; with kSecReturnAttributes true a dictionary of
  // class, service and account (plus kSecValueData when data is asked for too). kSecMatchLimitAll
  // gives an array of such results ordered by service, then account, otherwise the first of them
  // in that order; without a return key the
  // result is null. Answers errSecSuccess, errSecItemNotFound, or an error as for add. `result` may
  // be nullptr.
  OSStatus copyMatching(const foundation::Dictionary& query, foundation::Value* result) const;
  // Changes every item the query matches (SecItemUpdate): `changes` may hold kSecValueData,
  // kSecAttrService and kSecAttrAccount. Answers errSecItemNotFound when nothing matches,
  // errSecDuplicateItem when the change would make two items with one identity (nothing changes).
  OSStatus update(const foundation::Dictionary& query, const foundation::Dictionary& changes) const;
  // Deletes every item the query matches (SecItemDelete); errSecItemNotFound when none does. A
  // query naming both service and account deletes that item's file even when it is damaged.
  OSStatus remove(const foundation::Dictionary& query) const;

 private:
  std::string path_;
};

// The item services on the user's keychain, as the platform names them.
OSStatus itemAdd(const foundation::Dictionary& attributes);
OSStatus itemCopyMatching(const foundation::Dictionary& query, foundation::Value* result);
OSStatus itemUpdate(const foundation::Dictionary& query, const foundation::Dictionary& changes);
OSStatus itemDelete(const foundation::Dictionary& query);

}  // namespace security
