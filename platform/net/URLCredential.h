#pragma once
// URLCredential stands in for the platform's credential: a user name and password with a
// persistence, or a server trust that a client has decided to accept. Immutable; shared as
// std::shared_ptr<const URLCredential> and safe to read from any thread.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace security { class Trust; }

namespace net {

// How long a credential is kept, with the platform's values.
enum class URLCredentialPersistence : unsigned { None = 0, ForSession = 1, Permanent = 2, Synchronizable = 3 };

class URLCredential : public foundation::Object {
 public:
  // A password credential (initWithUser:password:persistence:).
  static std::shared_ptr<const URLCredential> withUser(std::string user, std::string password,
                                                       URLCredentialPersistence persistence);
  // A credential accepting `trust` (credentialForTrust:); null when `trust` is null.
  static std::shared_ptr<const URLCredential> forTrust(std::shared_ptr<security::Trust> trust);

  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& password() const { return password_; }
  bool hasPassword() const { return password_.has_value(); }
  URLCredentialPersistence persistence() const { return persistence_; }
  // The accepted trust of a server-trust credential, else null.
  const std::shared_ptr<security::Trust>& serverTrust() const { return trust_; }

  std::string description() const override;
  // Equal user and password, or the same trust.
  bool isEqual(const foundation::Object& other) const override;

 private:
  URLCredential() = default;
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  URLCredentialPersistence persistence_ = URLCredentialPersistence::None;
  std::shared_ptr<security::Trust> trust_;
};

}  // namespace net
