#pragma once
// Policy stands in for the platform's trust policy objects: what a trust evaluation checks besides
// the chain itself. Three kinds exist: the basic X.509 policy (a chain to a trusted root, no name
// check), the SSL policy (as basic, plus the key usage for a TLS server or client and, when a host
// name is given, the certificate's name), and the revocation policy. Policies are immutable values.
#include <cstdint>
#include <optional>
#include <string>

namespace security {

// Revocation option flags, with the platform's values.
inline constexpr std::uint64_t kSecRevocationOCSPMethod = 1u << 0;
inline constexpr std::uint64_t kSecRevocationCRLMethod = 1u << 1;
inline constexpr std::uint64_t kSecRevocationPreferCRL = 1u << 2;
inline constexpr std::uint64_t kSecRevocationRequirePositiveResponse = 1u << 3;
inline constexpr std::uint64_t kSecRevocationNetworkAccessDisabled = 1u << 4;
inline constexpr std::uint64_t kSecRevocationUseAnyAvailableMethod =
    kSecRevocationOCSPMethod | kSecRevocationCRLMethod;

class Policy {
 public:
  enum class Kind { BasicX509, SSL, Revocation };

  // The basic X.509 policy (SecPolicyCreateBasicX509).
  static Policy createBasicX509();
  // The SSL policy (SecPolicyCreateSSL): `server` true checks the leaf for TLS server use, false for
  // client use. With a host name the leaf must match it: a DNS name (wildcards in the leftmost
  // label only) or, when it reads as an IPv4 or IPv6 address (brackets allowed), an IP address
  // entry. Without one the name is not compared.
  static Policy createSSL(bool server, std::optional<std::string> hostname);
  // The revocation policy (SecPolicyCreateRevocation). Checks are offline: only certificate
  // revocation lists given to the trust (Trust::setRevocationLists) are consulted; OCSP is never
  // asked, since this layer does no network access during evaluation. A certificate listed as
  // revoked fails. With kSecRevocationRequirePositiveResponse every certificate of the chain must be
  // covered by a list, else evaluation fails; without it a certificate no list covers passes.
  static Policy createRevocation(std::uint64_t flags);

  Kind kind() const { return kind_; }
  bool isServer() const { return server_; }
  const std::optional<std::string>& hostname() const { return hostname_; }
  std::uint64_t revocationFlags() const { return revocationFlags_; }

 private:
  explicit Policy(Kind kind) : kind_(kind) {}
  Kind kind_;
  bool server_ = true;
  std::optional<std::string> hostname_;
  std::uint64_t revocationFlags_ = 0;
};

}  // namespace security
