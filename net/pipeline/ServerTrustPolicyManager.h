#pragma once
// ServerTrustPolicyManager maps host names to the ServerTrustPolicy that decides server-trust
// challenges for that host. The map is fixed at creation, so a manager is safe to read from any
// thread; subclasses may override the lookup.
#include <map>
#include <optional>
#include <string>

#include "net/pipeline/ServerTrustPolicy.h"

namespace pipeline {

class ServerTrustPolicyManager {
 public:
  explicit ServerTrustPolicyManager(std::map<std::string, ServerTrustPolicy> policies);
  virtual ~ServerTrustPolicyManager();

  // The policy stored under exactly `host` (case-sensitive, no wildcards, no normalisation), or
  // nothing, in which case the challenge gets the session's default handling.
  virtual std::optional<ServerTrustPolicy> serverTrustPolicy(const std::string& host) const;

  const std::map<std::string, ServerTrustPolicy>& policies() const { return policies_; }

 private:
  const std::map<std::string, ServerTrustPolicy> policies_;
};

}  // namespace pipeline
