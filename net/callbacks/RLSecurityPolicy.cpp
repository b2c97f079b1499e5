#include "net/callbacks/RLSecurityPolicy.h"

#include <algorithm>
#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Log.h"
#include "platform/security/Certificate.h"
#include "platform/security/Policy.h"

using foundation::Value;
using security::Certificate;
using security::PublicKey;
using security::Trust;

namespace {

const std::string kModeKey = "SSLPinningMode";
const std::string kAllowInvalidKey = "allowInvalidCertificates";
const std::string kValidatesDomainKey = "validatesDomainName";
const std::string kPinnedCertificatesKey = "pinnedCertificates";
const std::string kPinnedPublicKeysKey = "pinnedPublicKeys";

// Trusted when the evaluation ran and found the chain good, by user setting or by the roots.
bool trustIsValid(Trust& trust) {
  security::TrustResult result = security::TrustResult::Invalid;
  if (trust.evaluate(result) != security::errSecSuccess) return false;
  return result == security::TrustResult::Proceed || result == security::TrustResult::Unspecified;
}

std::optional<Certificate> certificateFrom(const Value& value) {
  if (!value.isData()) return std::nullopt;
  return Certificate::createWithData(value.dataValue());
}

Value setAsValue(const std::shared_ptr<const foundation::Set>& set) {
  if (!set) return Value();
  return Value(std::static_pointer_cast<foundation::Object>(std::const_pointer_cast<foundation::Set>(set)));
}

}  // namespace

RLSecurityPolicy::RLSecurityPolicy()
    : observing_([this](const std::string& key) -> Value {
        if (key == kPinnedCertificatesKey) return setAsValue(pinnedCertificates_);
        if (key == kPinnedPublicKeysKey && pinnedPublicKeys_) {
          foundation::Array keys;
          for (const auto& publicKey : *pinnedPublicKeys_) keys.emplace_back(publicKey.subjectPublicKeyInfo());
          return Value(std::move(keys));
        }
        return Value();
      }) {}

RLSecurityPolicy::RLSecurityPolicy(foundation::KeyedUnarchiver& coder) : RLSecurityPolicy() {
  mode_ = static_cast<RLSSLPinningMode>(coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kModeKey).uintValue());
  allowInvalidCertificates_ = coder.decodeBoolForKey(kAllowInvalidKey);
  // An archive without the key keeps the default: turning the host-name check off silently
  // because a key is missing would weaken every connection the policy guards.
  if (coder.containsValueForKey(kValidatesDomainKey)) validatesDomainName_ = coder.decodeBoolForKey(kValidatesDomainKey);
  setPinnedCertificates(
      coder.decodeObjectOfClass(foundation::ArchiveClass::Set, kPinnedCertificatesKey).objectAs<foundation::Set>());
}

std::shared_ptr<RLSecurityPolicy> RLSecurityPolicy::defaultPolicy() { return std::make_shared<RLSecurityPolicy>(); }

std::shared_ptr<RLSecurityPolicy> RLSecurityPolicy::policyWithPinningMode(RLSSLPinningMode mode) {
  return policyWithPinningMode(mode, defaultPinnedCertificates());
}

std::shared_ptr<RLSecurityPolicy> RLSecurityPolicy::policyWithPinningMode(
    RLSSLPinningMode mode, std::shared_ptr<const foundation::Set> pinnedCertificates) {
  auto policy = std::make_shared<RLSecurityPolicy>();
  policy->setSSLPinningMode(mode);
  policy->setPinnedCertificates(std::move(pinnedCertificates));
  return policy;
}

std::shared_ptr<const foundation::Set> RLSecurityPolicy::defaultPinnedCertificates() {
  static std::once_flag once;
  static std::shared_ptr<const foundation::Set> certificates;
  std::call_once(once, [] { certificates = certificatesInBundle(*foundation::Bundle::mainBundle()); });
  return certificates;
}

std::shared_ptr<const foundation::Set> RLSecurityPolicy::certificatesInBundle(const foundation::Bundle& bundle) {
  std::vector<Value> contents;
  const foundation::FileManager files;
  for (const auto& path : bundle.pathsForResourcesOfType("cer", ".")) {
    if (auto bytes = files.contentsAtPath(path)) contents.emplace_back(std::move(*bytes));
  }
  return foundation::Set::make(contents);
}

void RLSecurityPolicy::setPinnedCertificates(std::shared_ptr<const foundation::Set> certificates) {
  observing_.willChangeValueForKey(kPinnedCertificatesKey);
  observing_.willChangeValueForKey(kPinnedPublicKeysKey);
  pinnedCertificates_ = std::move(certificates);
  pinnedPublicKeys_.reset();
  if (pinnedCertificates_) {
    std::vector<PublicKey> keys;
    for (const Value& element : pinnedCertificates_->allObjects()) {
      const auto certificate = certificateFrom(element);
      auto key = certificate ? certificate->copyKey() : std::nullopt;
      if (key && std::find(keys.begin(), keys.end(), *key) == keys.end()) keys.push_back(std::move(*key));
    }
    pinnedPublicKeys_ = std::move(keys);
  }
  observing_.didChangeValueForKey(kPinnedPublicKeysKey);
  observing_.didChangeValueForKey(kPinnedCertificatesKey);
}

bool RLSecurityPolicy::evaluateServerTrust(const std::shared_ptr<Trust>& serverTrust,
                                           const std::optional<std::string>& domain) const {
  const bool hasPins = pinnedCertificates_ && !pinnedCertificates_->empty();
  if (domain && allowInvalidCertificates_ && validatesDomainName_ && (mode_ == RLSSLPinningModeNone || !hasPins)) {
    // A self-signed certificate can name any host, so its name proves nothing without a pin.
    foundation::NSLog("In order to validate a domain name for self signed certificates, you MUST use pinning.");
    return false;
  }
  if (!serverTrust) return false;

  serverTrust->setPolicies({validatesDomainName_ ? security::Policy::createSSL(true, domain)
                                                 : security::Policy::createBasicX509()});
  if (mode_ == RLSSLPinningModeNone) return allowInvalidCertificates_ || trustIsValid(*serverTrust);

  const bool chainTrusted = trustIsValid(*serverTrust);
  if (!chainTrusted && !allowInvalidCertificates_) return false;

  switch (mode_) {
    case RLSSLPinningModeCertificate: {
      std::vector<Certificate> anchors;
      for (const Value& element : pinnedCertificates_ ? pinnedCertificates_->allObjects() : std::vector<Value>{}) {
        if (auto certificate = certificateFrom(element)) anchors.push_back(std::move(*certificate));
      }
      serverTrust->setAnchorCertificates(std::move(anchors));
      if (!trustIsValid(*serverTrust)) return false;
      // The evaluated chain ends at the root it was verified against; look from there down.
      const auto chain = serverTrust->certificateChain();
      for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (pinnedCertificates_ && pinnedCertificates_->contains(Value(it->data()))) return true;
      }
      return false;
    }
    case RLSSLPinningModePublicKey: {
      if (!pinnedPublicKeys_) return false;
      // A trusted chain is the verified path, so every key on it is vouched for. An untrusted
      // one (invalid certificates allowed) vouches for nothing above the leaf: a pinned
      // certificate is public, and a server could append it to its own chain.
      std::vector<Certificate> candidates;
      if (chainTrusted) {
        candidates = serverTrust->certificateChain();
      } else if (auto leaf = serverTrust->certificateAtIndex(0)) {
        candidates.push_back(std::move(*leaf));
      }
      for (const auto& certificate : candidates) {
        const auto key = certificate.copyKey();
        if (!key) continue;
        for (const auto& pinned : *pinnedPublicKeys_) {
          if (pinned == *key) return true;
        }
      }
      return false;
    }
    default:
      return false;
  }
}

std::shared_ptr<RLSecurityPolicy> RLSecurityPolicy::copy() const {
  auto copied = std::make_shared<RLSecurityPolicy>();
  copied->mode_ = mode_;
  copied->allowInvalidCertificates_ = allowInvalidCertificates_;
  copied->validatesDomainName_ = validatesDomainName_;
  copied->setPinnedCertificates(pinnedCertificates_);
  return copied;
}

void RLSecurityPolicy::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(Value(static_cast<unsigned long long>(mode_)), kModeKey);
  coder.encodeBool(allowInvalidCertificates_, kAllowInvalidKey);
  coder.encodeBool(validatesDomainName_, kValidatesDomainKey);
  coder.encodeObject(setAsValue(pinnedCertificates_), kPinnedCertificatesKey);
}
