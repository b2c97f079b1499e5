#include "platform/security/Trust.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cmath>
#include <mutex>

#include "platform/security/Native.h"

namespace security {

struct Trust::State {
  mutable std::mutex mutex;
  std::vector<Certificate> certificates;  // as given, leaf first
  std::vector<Policy> policies;
  std::vector<Certificate> anchors;
  bool anchorsOnly = false;
  std::vector<native::CrlPtr> crls;
  std::optional<foundation::Date> verifyDate;
  TrustResult result = TrustResult::Invalid;
  std::string failure;
  std::vector<Certificate> chain;  // the built path after evaluation, else empty

  void reset() {
    result = TrustResult::Invalid;
    failure.clear();
    chain.clear();
  }
  const std::vector<Certificate>& currentChain() const { return chain.empty() ? certificates : chain; }
};

namespace {

using native::CrlPtr;
using native::StackPtr;
using native::StoreCtxPtr;
using native::StorePtr;

// What the verify callback needs to know about the revocation policy.
struct RevocationCheck {
  bool enabled = false;
  bool requirePositive = false;
};

// Without "require positive response", a certificate that no supplied list covers passes: offline
// there is nothing more to ask, and the platform's own default is the same soft failure.
int verifyCallback(int ok, X509_STORE_CTX* context) {
  if (ok) return ok;
  auto* check = static_cast<const RevocationCheck*>(X509_STORE_CTX_get_app_data(context));
  if (check && check->enabled && !check->requirePositive &&
      X509_STORE_CTX_get_error(context) == X509_V_ERR_UNABLE_TO_GET_CRL) {
    X509_STORE_CTX_set_error(context, X509_V_OK);
    return 1;
  }
  return ok;
}

std::optional<std::string> ipAddressText(const std::string& host) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  unsigned char buffer[16];
  if (inet_pton(AF_INET, bare.c_str(), buffer) == 1 || inet_pton(AF_INET6, bare.c_str(), buffer) == 1) return bare;
  return std::nullopt;
}

// The leaf against one host name: an address compares with the IP entries, a name with the DNS
// entries (the subject's common name only when the certificate has no DNS entries).
bool hostMatches(X509* leaf, const std::string& host) {
  if (host.empty()) return false;
  if (auto ip = ipAddressText(host)) return X509_check_ip_asc(leaf, ip->c_str(), 0) == 1;
  std::string name = host;
  if (name.size() > 1 && name.back() == '.') name.pop_back();
  return X509_check_host(leaf, name.data(), name.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

CrlPtr parseCrl(const foundation::Data& bytes) {
  const unsigned char* cursor = bytes.data();
  CrlPtr crl(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(bytes.size())));
  if (crl) return crl;
  ERR_clear_error();
  BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  if (!bio) return nullptr;
  crl.reset(PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  ERR_clear_error();
  return crl;
}

StackPtr stackOf(const std::vector<Certificate>& certificates, std::size_t from) {
  StackPtr stack(sk_X509_new_null());
  if (!stack) return nullptr;
  for (std::size_t i = from; i < certificates.size(); ++i) {
    X509* x509 = native::x509Of(certificates[i]);
    X509_up_ref(x509);
    if (!sk_X509_push(stack.get(), x509)) {
      X509_free(x509);
      return nullptr;
    }
  }
  return stack;
}

// Sets the purpose of the first SSL policy on the verifier; the others' are checked on the leaf
// afterwards. Answers the purposes still to check.
std::vector<int> applyPurposes(X509_STORE_CTX* context, const std::vector<Policy>& policies) {
  std::vector<int> remaining;
  bool set = false;
  for (const auto& policy : policies) {
    if (policy.kind() != Policy::Kind::SSL) continue;
    const int purpose = policy.isServer() ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT;
    if (!set) {
      X509_STORE_CTX_set_purpose(context, purpose);
      set = true;
    } else {
      remaining.push_back(purpose);
    }
  }
  return remaining;
}

}  // namespace

Trust::Trust(std::unique_ptr<State> state) : state_(std::move(state)) {}
Trust::~Trust() = default;

OSStatus Trust::createWithCertificates(std::vector<Certificate> certificates, std::vector<Policy> policies,
                                       std::shared_ptr<Trust>& out) {
  out.reset();
  if (certificates.empty()) return errSecParam;
  auto state = std::make_unique<State>();
  state->certificates = std::move(certificates);
  state->policies = std::move(policies);
  out = std::shared_ptr<Trust>(new Trust(std::move(state)));
  return errSecSuccess;
}

std::shared_ptr<Trust> Trust::create(std::vector<Certificate> certificates, std::vector<Policy> policies) {
  std::shared_ptr<Trust> trust;
  createWithCertificates(std::move(certificates), std::move(policies), trust);
  return trust;
}

OSStatus Trust::setPolicies(std::vector<Policy> policies) {
  std::lock_guard lock(state_->mutex);
  state_->policies = std::move(policies);
  state_->reset();
  return errSecSuccess;
}

std::vector<Policy> Trust::policies() const {
  std::lock_guard lock(state_->mutex);
  if (state_->policies.empty()) return {Policy::createBasicX509()};
  return state_->policies;
}

OSStatus Trust::setAnchorCertificates(std::vector<Certificate> anchors) {
  std::lock_guard lock(state_->mutex);
  state_->anchors = std::move(anchors);
  state_->anchorsOnly = true;
  state_->reset();
  return errSecSuccess;
}

OSStatus Trust::setAnchorCertificatesOnly(bool anchorsOnly) {
  std::lock_guard lock(state_->mutex);
  state_->anchorsOnly = anchorsOnly;
  state_->reset();
  return errSecSuccess;
}

std::vector<Certificate> Trust::anchorCertificates() const {
  std::lock_guard lock(state_->mutex);
  return state_->anchors;
}

bool Trust::anchorCertificatesOnly() const {
  std::lock_guard lock(state_->mutex);
  return state_->anchorsOnly;
}

OSStatus Trust::setRevocationLists(std::vector<foundation::Data> lists) {
  std::lock_guard lock(state_->mutex);
  state_->crls.clear();
  for (const auto& bytes : lists) {
    if (auto crl = parseCrl(bytes)) state_->crls.push_back(std::move(crl));
  }
  state_->reset();
  return errSecSuccess;
}

OSStatus Trust::setVerifyDate(foundation::Date date) {
  std::lock_guard lock(state_->mutex);
  state_->verifyDate = date;
  state_->reset();
  return errSecSuccess;
}

OSStatus Trust::evaluate(TrustResult& result) {
  std::lock_guard lock(state_->mutex);
  State& s = *state_;
  s.reset();
  auto fail = [&](TrustResult code, std::string reason) {
    s.result = code;
    s.failure = std::move(reason);
    result = code;
    return errSecSuccess;
  };

  StorePtr store(native::newRootStore(s.anchors, !s.anchorsOnly));
  StoreCtxPtr context(X509_STORE_CTX_new());
  StackPtr untrusted = stackOf(s.certificates, 1);
  X509* leaf = native::x509Of(s.certificates.front());
  if (!store || !context || !untrusted || !X509_STORE_CTX_init(context.get(), store.get(), leaf, untrusted.get())) {
    return fail(TrustResult::OtherError, "the verifier could not be set up");
  }

  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  // Anchors are roots in their own right, as on the platform: a pinned leaf or intermediate ends
  // the path without a self-signed certificate above it.
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
  if (s.verifyDate) {
    X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(std::floor(s.verifyDate->timeIntervalSince1970())));
  }
  const std::vector<Policy> policies = s.policies;
  const std::vector<int> otherPurposes = applyPurposes(context.get(), policies);

  RevocationCheck revocation;
  STACK_OF(X509_CRL)* crls = nullptr;
  for (const auto& policy : policies) {
    if (policy.kind() != Policy::Kind::Revocation) continue;
    revocation.enabled = true;
    revocation.requirePositive |= (policy.revocationFlags() & kSecRevocationRequirePositiveResponse) != 0;
  }
  if (revocation.enabled && s.crls.empty() && revocation.requirePositive) {
    return fail(TrustResult::RecoverableTrustFailure, "no revocation information is available offline");
  }
  if (revocation.enabled && !s.crls.empty()) {
    crls = sk_X509_CRL_new_null();
    if (!crls) return fail(TrustResult::OtherError, "the verifier could not be set up");
    for (const auto& crl : s.crls) sk_X509_CRL_push(crls, crl.get());
    X509_STORE_CTX_set0_crls(context.get(), crls);
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  X509_STORE_CTX_set_app_data(context.get(), &revocation);
  X509_STORE_CTX_set_verify_cb(context.get(), verifyCallback);

  const int verified = X509_verify_cert(context.get());
  const int error = X509_STORE_CTX_get_error(context.get());
  if (STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(context.get())) {
    for (int i = 0; i < sk_X509_num(built); ++i) s.chain.push_back(native::certificateFromBorrowed(sk_X509_value(built, i)));
  }
  context.reset();
  if (crls) sk_X509_CRL_free(crls);  // the lists themselves stay owned by the state
  ERR_clear_error();

  if (verified != 1) {
    if (error == X509_V_OK) return fail(TrustResult::OtherError, "the verifier failed");
    const TrustResult code =
        error == X509_V_ERR_CERT_REVOKED ? TrustResult::FatalTrustFailure : TrustResult::RecoverableTrustFailure;
    return fail(code, X509_verify_cert_error_string(error));
  }
  for (int purpose : otherPurposes) {
    if (X509_check_purpose(leaf, purpose, 0) != 1) return fail(TrustResult::RecoverableTrustFailure, "unsuitable certificate purpose");
  }
  for (const auto& policy : policies) {
    if (policy.kind() != Policy::Kind::SSL || !policy.hostname()) continue;
    if (!hostMatches(leaf, *policy.hostname())) return fail(TrustResult::RecoverableTrustFailure, "hostname mismatch");
  }
  s.result = TrustResult::Unspecified;
  result = s.result;
  return errSecSuccess;
}

TrustResult Trust::result() const {
  std::lock_guard lock(state_->mutex);
  return state_->result;
}

std::string Trust::failureReason() const {
  std::lock_guard lock(state_->mutex);
  return state_->failure;
}

std::size_t Trust::certificateCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->currentChain().size();
}

std::optional<Certificate> Trust::certificateAtIndex(std::size_t index) const {
  std::lock_guard lock(state_->mutex);
  const auto& chain = state_->currentChain();
  if (index >= chain.size()) return std::nullopt;
  return chain[index];
}

std::vector<Certificate> Trust::certificateChain() const {
  std::lock_guard lock(state_->mutex);
  return state_->currentChain();
}

std::optional<PublicKey> Trust::copyPublicKey() const {
  std::lock_guard lock(state_->mutex);
  return state_->certificates.front().copyKey();
}

}  // namespace security
