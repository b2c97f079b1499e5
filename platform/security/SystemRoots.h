#pragma once
// The system root store: the certificates a trust evaluation accepts as roots when the trust has
// no anchors of its own (or has them without "anchors only"). By default these are the system's
// roots from the TLS library's default locations (/etc/ssl/certs on Debian). Tests replace them with
// their own, so that evaluation does not depend on the machine's store.
#include <optional>
#include <vector>

#include "platform/security/Certificate.h"

namespace security {

// Replaces the system roots for this process with `roots`; std::nullopt restores the system's own.
// Affects evaluations that start afterwards. Thread-safe.
void setSystemRootsForTesting(std::optional<std::vector<Certificate>> roots);

// The roots set for testing, or nothing when the system's own store is in use. Thread-safe.
std::optional<std::vector<Certificate>> systemRootsForTesting();

}  // namespace security
