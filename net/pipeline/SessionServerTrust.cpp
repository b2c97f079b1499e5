#include "net/pipeline/SessionServerTrust.h"

#include "platform/net/URLCredential.h"

namespace pipeline {

void setServerTrustPolicyManager(net::URLSession& session, std::shared_ptr<ServerTrustPolicyManager> manager) {
  session.setAssociatedObject(kServerTrustPolicyManagerKey, std::move(manager));
}

std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(const net::URLSession& session) {
  return std::static_pointer_cast<ServerTrustPolicyManager>(session.associatedObject(kServerTrustPolicyManagerKey));
}

ChallengeAnswer evaluateServerTrust(const net::URLSession& session, const net::URLAuthenticationChallenge& challenge) {
  using Disposition = net::URLSessionAuthChallengeDisposition;
  const auto& space = challenge.protectionSpace();
  const auto manager = serverTrustPolicyManager(session);
  if (!manager) return {Disposition::PerformDefaultHandling, nullptr};
  const auto policy = manager->serverTrustPolicy(space.host());
  const auto& trust = space.serverTrust();
  if (!policy || !trust) return {Disposition::PerformDefaultHandling, nullptr};
  if (policy->evaluate(trust, space.host())) return {Disposition::UseCredential, net::URLCredential::forTrust(trust)};
  return {Disposition::CancelAuthenticationChallenge, nullptr};
}

}  // namespace pipeline
