#pragma once
// URLProtectionSpace stands in for the platform's protection space: the server, port, protocol,
// realm and authentication method a credential applies to; for server-trust spaces also the
// server's trust as presented in the TLS handshake. Immutable; shared freely across threads.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace security { class Trust; }

namespace net {

// Authentication methods, with the platform's texts.
inline constexpr const char* kURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* kURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* kURLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr const char* kURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";
inline constexpr const char* kURLAuthenticationMethodClientCertificate = "NSURLAuthenticationMethodClientCertificate";

class URLProtectionSpace : public foundation::Object {
 public:
  // initWithHost:port:protocol:realm:authenticationMethod:; a missing method means the default one.
  URLProtectionSpace(std::string host, int port, std::optional<std::string> protocol, std::optional<std::string> realm,
                     std::optional<std::string> authenticationMethod);
  // A server-trust space carrying the trust presented by the server.
  static URLProtectionSpace serverTrustSpace(std::string host, int port, std::shared_ptr<security::Trust> trust);

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  const std::optional<std::string>& protocol() const { return protocol_; }
  const std::optional<std::string>& realm() const { return realm_; }
  const std::string& authenticationMethod() const { return method_; }
  // The server's trust for a server-trust space, else null.
  const std::shared_ptr<security::Trust>& serverTrust() const { return trust_; }
  bool receivesCredentialSecurely() const;

  std::string description() const override;
  bool isEqual(const foundation::Object& other) const override;
  // Equal host (without case), port, protocol, realm and method; the trust does not count.
  bool operator==(const URLProtectionSpace& other) const;
  // A key for credential tables: host, port, protocol, realm and method in one text.
  std::string key() const;

 private:
  std::string host_;
  int port_;
  std::optional<std::string> protocol_;
  std::optional<std::string> realm_;
  std::string method_;
  std::shared_ptr<security::Trust> trust_;
};

}  // namespace net
