#include "platform/net/URLCredential.h"

namespace net {

std::shared_ptr<const URLCredential> URLCredential::withUser(std::string user, std::string password,
                                                             URLCredentialPersistence persistence) {
  std::shared_ptr<URLCredential> credential(new URLCredential());
  credential->user_ = std::move(user);
  credential->password_ = std::move(password);
  credential->persistence_ = persistence;
  return credential;
}

std::shared_ptr<const URLCredential> URLCredential::forTrust(std::shared_ptr<security::Trust> trust) {
  if (!trust) return nullptr;
  std::shared_ptr<URLCredential> credential(new URLCredential());
  credential->trust_ = std::move(trust);
  credential->persistence_ = URLCredentialPersistence::ForSession;
  return credential;
}

std::string URLCredential::description() const {
  if (trust_) return "<URLCredential: server trust>";
  return "<URLCredential: " + user_.value_or("") + ">";
}

bool URLCredential::isEqual(const foundation::Object& other) const {
  auto* c = dynamic_cast<const URLCredential*>(&other);
  if (!c) return false;
  if (trust_ || c->trust_) return trust_ == c->trust_;
  return user_ == c->user_ && password_ == c->password_;
}

}  // namespace net
