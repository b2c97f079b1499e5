#include "platform/net/URLSessionConfiguration.h"

namespace net {

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
  URLSessionConfiguration c;
  c.httpCookieStorage = HTTPCookieStorage::shared();
  c.urlCredentialStorage = URLCredentialStorage::shared();
  return c;
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
  URLSessionConfiguration c;
  c.httpCookieStorage = std::make_shared<HTTPCookieStorage>();
  c.urlCredentialStorage = std::make_shared<URLCredentialStorage>();
  return c;
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfiguration(std::string identifier) {
  URLSessionConfiguration c = defaultSessionConfiguration();
  c.identifier = std::move(identifier);
  return c;
}

}  // namespace net
