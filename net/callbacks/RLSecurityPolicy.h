#pragma once
// RLSecurityPolicy decides whether the certificate chain a server presents in a server-trust
// challenge is acceptable for a host: by the platform's chain evaluation alone, or pinned to
// known certificates or to the public keys of known certificates. Every URL session manager asks
// its policy at each server-trust challenge; the default policy pins nothing.
//
// A policy is configured before it is handed to a session manager (its setters take no lock) and
// then only read. evaluateServerTrust changes the trust it is given (its policies and anchors),
// which belongs to the one challenge being answered.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Coding.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Set.h"
#include "platform/security/PublicKey.h"
#include "platform/security/Trust.h"

enum RLSSLPinningMode : unsigned long {
  RLSSLPinningModeNone = 0,         // only the platform's chain evaluation counts
  RLSSLPinningModePublicKey = 1,    // a certificate of the chain must carry a pinned key
  RLSSLPinningModeCertificate = 2,  // the chain must lead to a pinned certificate
};

class RLSecurityPolicy : public foundation::Coding {
 public:
  // Validates domain names; no pinning; invalid certificates refused.
  RLSecurityPolicy();
  // Rebuilds an archived policy: "SSLPinningMode", "allowInvalidCertificates",
  // "validatesDomainName" (on when absent, as for a new policy) and "pinnedCertificates".
  explicit RLSecurityPolicy(foundation::KeyedUnarchiver& coder);
  RLSecurityPolicy(const RLSecurityPolicy&) = delete;
  RLSecurityPolicy& operator=(const RLSecurityPolicy&) = delete;

  // A new default policy: no pinning.
  static std::shared_ptr<RLSecurityPolicy> defaultPolicy();
  // A new policy with `mode`, pinned to defaultPinnedCertificates().
  static std::shared_ptr<RLSecurityPolicy> policyWithPinningMode(RLSSLPinningMode mode);
  // A new policy with `mode`, pinned to `pinnedCertificates` (a set of DER data; null for none).
  static std::shared_ptr<RLSecurityPolicy> policyWithPinningMode(RLSSLPinningMode mode,
                                                                 std::shared_ptr<const foundation::Set> pinnedCertificates);

  // The ".cer" files among the main bundle's top-level resources, read once per process (the
  // first answer is kept). Thread-safe.
  static std::shared_ptr<const foundation::Set> defaultPinnedCertificates();
  // The contents of every ".cer" file among `bundle`'s top-level resources, as a set of data;
  // files that cannot be read are left out. The contents are not checked here: what does not
  // parse as a certificate simply pins nothing.
  static std::shared_ptr<const foundation::Set> certificatesInBundle(const foundation::Bundle& bundle);

  bool allowInvalidCertificates() const { return allowInvalidCertificates_; }
  void setAllowInvalidCertificates(bool allow) { allowInvalidCertificates_ = allow; }
  bool validatesDomainName() const { return validatesDomainName_; }
  void setValidatesDomainName(bool validates) { validatesDomainName_ = validates; }
  RLSSLPinningMode SSLPinningMode() const { return mode_; }
  void setSSLPinningMode(RLSSLPinningMode mode) { mode_ = mode; }

  // The pinned certificates as DER data, or null.
  const std::shared_ptr<const foundation::Set>& pinnedCertificates() const { return pinnedCertificates_; }
  // Stores the set and recomputes pinnedPublicKeys: the keys of the certificates that parse and
  // carry one; nothing for a null set. Observers of "pinnedCertificates" and "pinnedPublicKeys"
  // are told.
  void setPinnedCertificates(std::shared_ptr<const foundation::Set> certificates);
  const std::optional<std::vector<security::PublicKey>>& pinnedPublicKeys() const { return pinnedPublicKeys_; }
  // The keys that pinnedPublicKeys depends on: {"pinnedCertificates"}.
  static std::vector<std::string> keyPathsForValuesAffectingPinnedPublicKeys() { return {"pinnedCertificates"}; }
  // Where observers of the policy's keys register.
  foundation::KeyValueObserving& observing() { return observing_; }

  // Whether `serverTrust` is acceptable for `domain` (nothing: no host-name check). Answers only
  // yes or no, never throws. Refuses (with a log line) to check a domain name while accepting
  // invalid certificates without pinning, since the name proves nothing then. Checks the name
  // when validatesDomainName, then: mode None accepts what the platform trusts (anything when
  // invalid certificates are allowed); mode Certificate needs the chain, with the pinned
  // certificates as its only roots, to end at a pinned certificate; mode PublicKey needs a pinned
  // key on the leaf, or on any certificate of the chain when the chain itself is trusted (an
  // untrusted chain proves only its leaf: anything above it is the server's free choice).
  bool evaluateServerTrust(const std::shared_ptr<security::Trust>& serverTrust,
                           const std::optional<std::string>& domain) const;

  // A new policy with the same mode, flags and pinned certificates (keys recomputed).
  std::shared_ptr<RLSecurityPolicy> copy() const;
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  static bool supportsSecureCoding() { return true; }

 private:
  bool allowInvalidCertificates_ = false;
  bool validatesDomainName_ = true;
  RLSSLPinningMode mode_ = RLSSLPinningModeNone;
  std::shared_ptr<const foundation::Set> pinnedCertificates_;
  std::optional<std::vector<security::PublicKey>> pinnedPublicKeys_;
  foundation::KeyValueObserving observing_;
};
