#pragma once
// Trust stands in for the platform's trust object: a certificate chain as presented (leaf first),
// the policies to check it against and the roots to accept, evaluated by the TLS library's X.509
// verifier. After evaluation the trust holds the verified path (leaf first) as its chain.
//
// What is left out: user trust settings (so kSecTrustResultProceed and kSecTrustResultDeny are
// never produced), fetching missing intermediates over the network, and OCSP (see Policy).
//
// A trust is created for one evaluation, typically one TLS handshake. Its operations lock it, so
// it may be touched from more than one thread, but it is meant to be used by one at a time.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "platform/security/Certificate.h"
#include "platform/security/Policy.h"
#include "platform/security/PublicKey.h"
#include "platform/security/Status.h"

namespace security {

// Trust results, with the platform's values.
enum class TrustResult : std::uint32_t {
  Invalid = 0,                  // not evaluated yet
  Proceed = 1,                  // trusted by an explicit user setting (never produced here)
  Deny = 3,                     // distrusted by an explicit user setting (never produced here)
  Unspecified = 4,              // the chain verified against the roots and every policy passed
  RecoverableTrustFailure = 5,  // some check failed (untrusted root, name, expiry, usage)
  FatalTrustFailure = 6,        // a certificate of the chain is revoked
  OtherError = 7,               // the evaluation itself could not run
};

class Trust {
 public:
  // Makes a trust for `certificates` (leaf first) and `policies` (SecTrustCreateWithCertificates).
  // No policies means the basic X.509 policy. Answers errSecParam and leaves `out` empty when the
  // chain is empty. The trust starts with the system roots as anchors.
  static OSStatus createWithCertificates(std::vector<Certificate> certificates, std::vector<Policy> policies,
                                         std::shared_ptr<Trust>& out);
  // Shorthand for the above: nullptr on failure.
  static std::shared_ptr<Trust> create(std::vector<Certificate> certificates, std::vector<Policy> policies);

  Trust(const Trust&) = delete;
  Trust& operator=(const Trust&) = delete;
  ~Trust();

  // Replaces the policies (SecTrustSetPolicies); no policies means the basic X.509 policy. Resets
  // any earlier evaluation.
  OSStatus setPolicies(std::vector<Policy> policies);
  std::vector<Policy> policies() const;

  // Sets the certificates accepted as roots (SecTrustSetAnchorCertificates). As on the platform this
  // also turns "anchors only" on, so the system roots stop counting until setAnchorCertificatesOnly
  // (false) is called. An anchor need not be self-signed: a pinned leaf or intermediate is a root
  // in its own right. An empty list with "anchors only" trusts nothing.
  OSStatus setAnchorCertificates(std::vector<Certificate> anchors);
  // True: only the anchors count as roots. False: the anchors and the system roots count.
  OSStatus setAnchorCertificatesOnly(bool anchorsOnly);
  std::vector<Certificate> anchorCertificates() const;
  bool anchorCertificatesOnly() const;

  // Certificate revocation lists (DER or PEM, one list per entry) for the revocation policy; lists
  // that do not parse are ignored. Resets any earlier evaluation.
  OSStatus setRevocationLists(std::vector<foundation::Data> lists);
  // Evaluates as of `date` instead of now (SecTrustSetVerifyDate).
  OSStatus setVerifyDate(foundation::Date date);

  // Evaluates the chain (SecTrustEvaluate): answers errSecSuccess and sets `result` to Unspecified
  // when the chain leads to an accepted root and every policy passes, FatalTrustFailure when a
  // revocation list names a certificate of the chain, RecoverableTrustFailure when another check
  // fails, OtherError when the verifier could not run. The result is kept until the policies,
  // anchors, lists or date change.
  OSStatus evaluate(TrustResult& result);
  // The last evaluation's result; Invalid when there was none since the last change.
  TrustResult result() const;
  // Why the last evaluation failed, in the TLS library's words ("certificate has expired",
  // "hostname mismatch"); empty after success or before evaluation.
  std::string failureReason() const;

  // The chain: before evaluation the certificates as given; after it the path that was built (leaf
  // first, ending at the root when one was found), or the certificates as given when no path was.
  std::size_t certificateCount() const;
  // The certificate at `index` of the chain, or nothing past its end (SecTrustGetCertificateAtIndex).
  std::optional<Certificate> certificateAtIndex(std::size_t index) const;
  std::vector<Certificate> certificateChain() const;
  // The leaf certificate's public key (SecTrustCopyPublicKey); nothing when it cannot be read.
  std::optional<PublicKey> copyPublicKey() const;

 private:
  struct State;
  explicit Trust(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace security
