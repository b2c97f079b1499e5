#pragma once
// The session's server-trust policy manager, kept on the URL session itself (under the key
// "URLSession.ServerTrustPolicyManager") so that the session delegate and every task delegate
// find it from the session a challenge arrives on, and the one answer both give a server-trust
// challenge from it.
#include <memory>
#include <utility>

#include "net/pipeline/ServerTrustPolicyManager.h"
#include "platform/net/URLAuthenticationChallenge.h"
#include "platform/net/URLSession.h"

namespace pipeline {

// A challenge answer: the disposition and the credential to use, if any.
using ChallengeAnswer = std::pair<net::URLSessionAuthChallengeDisposition, std::shared_ptr<const net::URLCredential>>;

inline constexpr const char* kServerTrustPolicyManagerKey = "URLSession.ServerTrustPolicyManager";

// Attaches `manager` to `session`; null removes an earlier one. Thread-safe.
void setServerTrustPolicyManager(net::URLSession& session, std::shared_ptr<ServerTrustPolicyManager> manager);
// The manager attached to `session`, or null. Thread-safe.
std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(const net::URLSession& session);

// The answer to a server-trust challenge on `session`: use a credential for the trust when the
// host's policy accepts it, cancel when the policy refuses it, default handling when there is
// no manager, no policy for the host or no trust in the challenge.
ChallengeAnswer evaluateServerTrust(const net::URLSession& session, const net::URLAuthenticationChallenge& challenge);

}  // namespace pipeline
