#include "platform/net/URLProtectionSpace.h"

#include <cctype>

namespace net {
namespace {
std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

URLProtectionSpace::URLProtectionSpace(std::string host, int port, std::optional<std::string> protocol,
                                       std::optional<std::string> realm, std::optional<std::string> method)
    : host_(std::move(host)),
      port_(port),
      protocol_(std::move(protocol)),
      realm_(std::move(realm)),
      method_(method.value_or(kURLAuthenticationMethodDefault)) {}

URLProtectionSpace URLProtectionSpace::serverTrustSpace(std::string host, int port,
                                                        std::shared_ptr<security::Trust> trust) {
  URLProtectionSpace space(std::move(host), port, std::string("https"), std::nullopt,
                           std::string(kURLAuthenticationMethodServerTrust));
  space.trust_ = std::move(trust);
  return space;
}

bool URLProtectionSpace::receivesCredentialSecurely() const {
  return protocol_ && lower(*protocol_) == "https";
}

std::string URLProtectionSpace::description() const {
  return "<URLProtectionSpace: " + protocol_.value_or("") + "://" + host_ + ":" + std::to_string(port_) + " " +
         realm_.value_or("") + " " + method_ + ">";
}

bool URLProtectionSpace::isEqual(const foundation::Object& other) const {
  auto* space = dynamic_cast<const URLProtectionSpace*>(&other);
  return space && *this == *space;
}

bool URLProtectionSpace::operator==(const URLProtectionSpace& other) const { return key() == other.key(); }

std::string URLProtectionSpace::key() const {
  return lower(host_) + "\n" + std::to_string(port_) + "\n" + lower(protocol_.value_or("")) + "\n" +
         realm_.value_or("") + "\n" + method_;
}

}  // namespace net
