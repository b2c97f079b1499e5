#pragma once
// ServerTrustPolicy decides whether a server's certificate chain, presented in a TLS handshake, is
// trusted for a host: by the platform's default evaluation, with revocation, by pinned
// certificates or public keys, by a custom callback, or not at all. It also loads the
// certificates and public keys that the application bundle carries, for building pinning policies.
//
// A policy is an immutable value: copies share the certificate and key lists and the callback, and
// one policy may be used from any thread. evaluate() changes the trust object it is given (its
// policies and anchors), which belongs to the one challenge being answered.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/security/Certificate.h"
#include "platform/security/PublicKey.h"
#include "platform/security/Trust.h"

namespace pipeline {

class ServerTrustPolicy {
 public:
  enum class Kind {
    PerformDefaultEvaluation,
    PerformRevokedEvaluation,
    PinCertificates,
    PinPublicKeys,
    CustomEvaluation,
    DisableEvaluation,
  };
  // Answers whether the server trust is acceptable for the host.
  using CustomEvaluator = std::function<bool(const std::shared_ptr<security::Trust>& serverTrust, const std::string& host)>;

  // The platform's evaluation against the system roots, checking the host name when `validateHost`.
  static ServerTrustPolicy performDefaultEvaluation(bool validateHost);
  // As performDefaultEvaluation plus the revocation policy made from `revocationFlags`
  // (security::kSecRevocation...); see security::Policy::createRevocation for what is checked.
  static ServerTrustPolicy performRevokedEvaluation(bool validateHost, std::uint64_t revocationFlags);
  // With `validateCertificateChain`, the chain must lead to one of `certificates` (and nothing else
  // counts as a root) and pass the host check when `validateHost`. Without it, the server's leaf
  // must be byte-for-byte one of `certificates`; neither the chain nor the name is checked.
  static ServerTrustPolicy pinCertificates(std::vector<security::Certificate> certificates,
                                           bool validateCertificateChain, bool validateHost);
  // With `validateCertificateChain`, the chain must pass the default evaluation (with the host
  // check when `validateHost`) and some certificate of the verified path must carry one of
  // `publicKeys`. Without it, the server's leaf must carry one of them; nothing else is checked.
  static ServerTrustPolicy pinPublicKeys(std::vector<security::PublicKey> publicKeys, bool validateCertificateChain,
                                         bool validateHost);
  // Asks `evaluator`; an empty evaluator answers no.
  static ServerTrustPolicy customEvaluation(CustomEvaluator evaluator);
  // Trusts every server.
  static ServerTrustPolicy disableEvaluation();

  // The certificates among the bundle's top-level resources with the extensions .cer, .CER, .crt,
  // .CRT, .der and .DER, each file read as DER. Unreadable files and files that are not one DER
  // certificate are skipped. The overload without a bundle uses the main bundle.
  static std::vector<security::Certificate> certificates(const foundation::Bundle& bundle);
  static std::vector<security::Certificate> certificates();
  // The public keys of certificates(bundle), in the same order; certificates without a key are
  // skipped. The overload without a bundle uses the main bundle.
  static std::vector<security::PublicKey> publicKeys(const foundation::Bundle& bundle);
  static std::vector<security::PublicKey> publicKeys();

  // Answers whether `serverTrust` is trusted for `host` under this policy; every failure of the
  // evaluation is a no. A null trust is a no, except for disableEvaluation (which never looks) and
  // customEvaluation (which the callback decides).
  bool evaluate(const std::shared_ptr<security::Trust>& serverTrust, const std::string& host) const;

  Kind kind() const { return kind_; }
  bool validateHost() const { return validateHost_; }
  bool validateCertificateChain() const { return validateCertificateChain_; }
  std::uint64_t revocationFlags() const { return revocationFlags_; }
  // The pinned certificates (pinCertificates) or keys (pinPublicKeys); empty for other kinds.
  const std::vector<security::Certificate>& pinnedCertificates() const;
  const std::vector<security::PublicKey>& pinnedPublicKeys() const;

 private:
  explicit ServerTrustPolicy(Kind kind) : kind_(kind) {}
  bool evaluatePinnedCertificates(security::Trust& trust, const std::string& host) const;
  bool evaluatePinnedPublicKeys(security::Trust& trust, const std::string& host) const;
  security::Policy hostPolicy(const std::string& host) const;

  Kind kind_;
  bool validateHost_ = false;
  bool validateCertificateChain_ = false;
  std::uint64_t revocationFlags_ = 0;
  std::shared_ptr<const std::vector<security::Certificate>> certificates_;
  std::shared_ptr<const std::vector<security::PublicKey>> publicKeys_;
  std::shared_ptr<const CustomEvaluator> evaluator_;
};

}  // namespace pipeline
