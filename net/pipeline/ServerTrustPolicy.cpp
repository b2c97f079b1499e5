#include "net/pipeline/ServerTrustPolicy.h"

#include <set>

#include "platform/foundation/FileManager.h"

namespace pipeline {
namespace {

using security::Certificate;
using security::Policy;
using security::PublicKey;
using security::Trust;
using security::TrustResult;

const std::vector<Certificate> kNoCertificates;
const std::vector<PublicKey> kNoKeys;

// Trusted when the evaluation ran and found the chain good, by user setting or by the roots.
bool trustIsValid(Trust& trust) {
  TrustResult result = TrustResult::Invalid;
  if (trust.evaluate(result) != security::errSecSuccess) return false;
  return result == TrustResult::Proceed || result == TrustResult::Unspecified;
}

// The key is read through a trust of the certificate alone, without evaluating it, so that a
// certificate from an unknown issuer still yields its key.
std::optional<PublicKey> publicKeyOf(const Certificate& certificate) {
  std::shared_ptr<Trust> trust;
  if (Trust::createWithCertificates({certificate}, {Policy::createBasicX509()}, trust) != security::errSecSuccess ||
      !trust) {
    return std::nullopt;
  }
  return trust->copyPublicKey();
}

}  // namespace

ServerTrustPolicy ServerTrustPolicy::performDefaultEvaluation(bool validateHost) {
  ServerTrustPolicy policy(Kind::PerformDefaultEvaluation);
  policy.validateHost_ = validateHost;
  return policy;
}

ServerTrustPolicy ServerTrustPolicy::performRevokedEvaluation(bool validateHost, std::uint64_t revocationFlags) {
  ServerTrustPolicy policy(Kind::PerformRevokedEvaluation);
  policy.validateHost_ = validateHost;
  policy.revocationFlags_ = revocationFlags;
  return policy;
}

ServerTrustPolicy ServerTrustPolicy::pinCertificates(std::vector<Certificate> certificates,
                                                     bool validateCertificateChain, bool validateHost) {
  ServerTrustPolicy policy(Kind::PinCertificates);
  policy.certificates_ = std::make_shared<const std::vector<Certificate>>(std::move(certificates));
  policy.validateCertificateChain_ = validateCertificateChain;
  policy.validateHost_ = validateHost;
  return policy;
}

ServerTrustPolicy ServerTrustPolicy::pinPublicKeys(std::vector<PublicKey> publicKeys, bool validateCertificateChain,
                                                   bool validateHost) {
  ServerTrustPolicy policy(Kind::PinPublicKeys);
  policy.publicKeys_ = std::make_shared<const std::vector<PublicKey>>(std::move(publicKeys));
  policy.validateCertificateChain_ = validateCertificateChain;
  policy.validateHost_ = validateHost;
  return policy;
}

ServerTrustPolicy ServerTrustPolicy::customEvaluation(CustomEvaluator evaluator) {
  ServerTrustPolicy policy(Kind::CustomEvaluation);
  policy.evaluator_ = std::make_shared<const CustomEvaluator>(std::move(evaluator));
  return policy;
}

ServerTrustPolicy ServerTrustPolicy::disableEvaluation() { return ServerTrustPolicy(Kind::DisableEvaluation); }

const std::vector<Certificate>& ServerTrustPolicy::pinnedCertificates() const {
  return certificates_ ? *certificates_ : kNoCertificates;
}

const std::vector<PublicKey>& ServerTrustPolicy::pinnedPublicKeys() const {
  return publicKeys_ ? *publicKeys_ : kNoKeys;
}

std::vector<Certificate> ServerTrustPolicy::certificates(const foundation::Bundle& bundle) {
  std::set<std::string> paths;  // one file found under two types is read once
  for (const char* type : {"cer", "CER", "crt", "CRT", "der", "DER"}) {
    for (auto& path : bundle.pathsForResourcesOfType(type)) paths.insert(std::move(path));
  }
  std::vector<Certificate> found;
  const foundation::FileManager files;
  for (const auto& path : paths) {
    auto bytes = files.contentsAtPath(path);
    if (!bytes) continue;
    if (auto certificate = Certificate::createWithData(*bytes)) found.push_back(std::move(*certificate));
  }
  return found;
}

std::vector<Certificate> ServerTrustPolicy::certificates() { return certificates(*foundation::Bundle::mainBundle()); }

std::vector<PublicKey> ServerTrustPolicy::publicKeys(const foundation::Bundle& bundle) {
  std::vector<PublicKey> keys;
  for (const auto& certificate : certificates(bundle)) {
    if (auto key = publicKeyOf(certificate)) keys.push_back(std::move(*key));
  }
  return keys;
}

std::vector<PublicKey> ServerTrustPolicy::publicKeys() { return publicKeys(*foundation::Bundle::mainBundle()); }

Policy ServerTrustPolicy::hostPolicy(const std::string& host) const {
  return Policy::createSSL(true, validateHost_ ? std::optional<std::string>(host) : std::nullopt);
}

bool ServerTrustPolicy::evaluate(const std::shared_ptr<Trust>& serverTrust, const std::string& host) const {
  switch (kind_) {
    case Kind::DisableEvaluation:
      return true;
    case Kind::CustomEvaluation:
      return evaluator_ && *evaluator_ && (*evaluator_)(serverTrust, host);
    default:
      break;
  }
  if (!serverTrust) return false;
  switch (kind_) {
    case Kind::PerformDefaultEvaluation:
      serverTrust->setPolicies({hostPolicy(host)});
      return trustIsValid(*serverTrust);
    case Kind::PerformRevokedEvaluation:
      serverTrust->setPolicies({hostPolicy(host), Policy::createRevocation(revocationFlags_)});
      return trustIsValid(*serverTrust);
    case Kind::PinCertificates:
      return evaluatePinnedCertificates(*serverTrust, host);
    case Kind::PinPublicKeys:
      return evaluatePinnedPublicKeys(*serverTrust, host);
    default:
      return false;
  }
}

bool ServerTrustPolicy::evaluatePinnedCertificates(Trust& trust, const std::string& host) const {
  if (validateCertificateChain_) {
    trust.setPolicies({hostPolicy(host)});
    trust.setAnchorCertificates(pinnedCertificates());
    trust.setAnchorCertificatesOnly(true);
    return trustIsValid(trust);
  }
  // Without chain validation only the leaf may match: every certificate further up is the
  // server's free choice, and a pinned certificate is public, so a server could append it to its
  // own chain.
  const auto leaf = trust.certificateAtIndex(0);
  if (!leaf) return false;
  const auto leafData = leaf->data();
  for (const auto& pinned : pinnedCertificates()) {
    if (pinned.data() == leafData) return true;
  }
  return false;
}

bool ServerTrustPolicy::evaluatePinnedPublicKeys(Trust& trust, const std::string& host) const {
  std::vector<Certificate> candidates;
  if (validateCertificateChain_) {
    trust.setPolicies({hostPolicy(host)});
    if (!trustIsValid(trust)) return false;
    // After evaluation the chain is the verified path, so certificates the server merely sent
    // along, outside that path, cannot supply a pinned key.
    candidates = trust.certificateChain();
  } else if (auto leaf = trust.certificateAtIndex(0)) {
    candidates.push_back(*leaf);  // as for certificates: only the leaf is the server's own
  }
  for (const auto& certificate : candidates) {
    const auto key = publicKeyOf(certificate);
    if (!key) continue;
    for (const auto& pinned : pinnedPublicKeys()) {
      if (pinned == *key) return true;
    }
  }
  return false;
}

}  // namespace pipeline
