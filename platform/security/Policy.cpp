#include "platform/security/Policy.h"

namespace security {

Policy Policy::createBasicX509() { return Policy(Kind::BasicX509); }

Policy Policy::createSSL(bool server, std::optional<std::string> hostname) {
  Policy policy(Kind::SSL);
  policy.server_ = server;
  policy.hostname_ = std::move(hostname);
  return policy;
}

Policy Policy::createRevocation(std::uint64_t flags) {
  Policy policy(Kind::Revocation);
  policy.revocationFlags_ = flags;
  return policy;
}

}  // namespace security
