#pragma once
// URLCredentialStorage stands in for the platform's credential storage: password credentials
// per protection space, by user name, with one default credential per space. Credentials are
// kept in memory for the life of the storage (permanent credentials are not written to disk on
// this platform). Thread-safe.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/net/URLCredential.h"
#include "platform/net/URLProtectionSpace.h"

namespace net {

class URLCredentialStorage {
 public:
  URLCredentialStorage() = default;
  // The process-wide storage used by default session configurations.
  static std::shared_ptr<URLCredentialStorage> shared();

  // The credentials stored for `space`, by user name in insertion order; nothing when the
  // storage has never held any for that space (an empty list after all were removed).
  std::optional<std::vector<std::pair<std::string, std::shared_ptr<const URLCredential>>>> credentialsForProtectionSpace(
      const URLProtectionSpace& space) const;
  // Stores `credential` for `space`, replacing one of the same user. Credentials with
  // persistence None and trust credentials are not stored.
  void setCredential(const std::shared_ptr<const URLCredential>& credential, const URLProtectionSpace& space);
  // Stores `credential` and makes it the space's default.
  void setDefaultCredential(const std::shared_ptr<const URLCredential>& credential, const URLProtectionSpace& space);
  // The space's default credential, or null.
  std::shared_ptr<const URLCredential> defaultCredentialForProtectionSpace(const URLProtectionSpace& space) const;
  void removeCredential(const std::shared_ptr<const URLCredential>& credential, const URLProtectionSpace& space);

 private:
  struct Entry {
    std::vector<std::pair<std::string, std::shared_ptr<const URLCredential>>> credentials;
    std::optional<std::string> defaultUser;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace net
