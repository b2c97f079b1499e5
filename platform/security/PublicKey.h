#pragma once
// PublicKey stands in for the platform's key object as this layer hands it out: the public key of
// a certificate. It is an immutable value, safe to share between threads. Two keys are equal when
// their DER SubjectPublicKeyInfo bytes are equal, so the same key read from two different
// certificates compares equal.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace security {

class PublicKey {
 public:
  // Reads a key from DER SubjectPublicKeyInfo bytes; nothing when they are not a public key.
  static std::optional<PublicKey> createWithSubjectPublicKeyInfo(const foundation::Data& der);

  // The DER SubjectPublicKeyInfo: what equality compares, and the key's exported form.
  const foundation::Data& subjectPublicKeyInfo() const;
  // The key's algorithm name as the TLS library reports it ("RSA", "EC", "ED25519").
  std::string algorithmName() const;
  // The key's size in bits.
  int bitSize() const;

  bool operator==(const PublicKey& other) const;

  struct Impl;
  explicit PublicKey(std::shared_ptr<const Impl> impl);

 private:
  std::shared_ptr<const Impl> impl_;
};

}  // namespace security
