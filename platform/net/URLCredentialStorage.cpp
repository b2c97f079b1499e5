#include "platform/net/URLCredentialStorage.h"

#include <algorithm>

namespace net {

std::shared_ptr<URLCredentialStorage> URLCredentialStorage::shared() {
  static auto* storage = new std::shared_ptr<URLCredentialStorage>(std::make_shared<URLCredentialStorage>());
  return *storage;
}

std::optional<std::vector<std::pair<std::string, std::shared_ptr<const URLCredential>>>>
URLCredentialStorage::credentialsForProtectionSpace(const URLProtectionSpace& space) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(space.key());
  if (it == entries_.end()) return std::nullopt;
  return it->second.credentials;
}

void URLCredentialStorage::setCredential(const std::shared_ptr<const URLCredential>& credential,
                                         const URLProtectionSpace& space) {
  if (!credential || !credential->user() || credential->persistence() == URLCredentialPersistence::None) return;
  std::lock_guard lock(mutex_);
  auto& list = entries_[space.key()].credentials;
  auto it = std::find_if(list.begin(), list.end(), [&](const auto& e) { return e.first == *credential->user(); });
  if (it != list.end()) {
    it->second = credential;
    return;
  }
  list.emplace_back(*credential->user(), credential);
}

void URLCredentialStorage::setDefaultCredential(const std::shared_ptr<const URLCredential>& credential,
                                                const URLProtectionSpace& space) {
  setCredential(credential, space);
  if (!credential || !credential->user() || credential->persistence() == URLCredentialPersistence::None) return;
  std::lock_guard lock(mutex_);
  entries_[space.key()].defaultUser = *credential->user();
}

std::shared_ptr<const URLCredential> URLCredentialStorage::defaultCredentialForProtectionSpace(
    const URLProtectionSpace& space) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(space.key());
  if (it == entries_.end() || !it->second.defaultUser) return nullptr;
  for (const auto& [user, credential] : it->second.credentials) {
    if (user == *it->second.defaultUser) return credential;
  }
  return nullptr;
}

void URLCredentialStorage::removeCredential(const std::shared_ptr<const URLCredential>& credential,
                                            const URLProtectionSpace& space) {
  if (!credential || !credential->user()) return;
  std::lock_guard lock(mutex_);
  auto it = entries_.find(space.key());
  if (it == entries_.end()) return;
  auto& list = it->second.credentials;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& e) { return e.first == *credential->user(); }),
             list.end());
  if (it->second.defaultUser == credential->user()) it->second.defaultUser.reset();
}

}  // namespace net
