#include "net/pipeline/ServerTrustPolicyManager.h"

namespace pipeline {

ServerTrustPolicyManager::ServerTrustPolicyManager(std::map<std::string, ServerTrustPolicy> policies)
    : policies_(std::move(policies)) {}

ServerTrustPolicyManager::~ServerTrustPolicyManager() = default;

std::optional<ServerTrustPolicy> ServerTrustPolicyManager::serverTrustPolicy(const std::string& host) const {
  const auto found = policies_.find(host);
  if (found == policies_.end()) return std::nullopt;
  return found->second;
}

}  // namespace pipeline
