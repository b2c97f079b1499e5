#pragma once
// HTTPCookie and HTTPCookieStorage stand in for the platform's cookies and cookie storage: cookies
// parsed from "Set-Cookie" response headers, kept per domain and path, and sent back in a
// "Cookie" header to URLs they match (RFC 6265 domain and path matching, Secure, expiry). Cookies
// live in memory for the storage's lifetime. The storage is thread-safe; cookies are values.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URL.h"

namespace net {

struct HTTPCookie {
  std::string name;
  std::string value;
  std::string domain;  // lower-case; a leading "." means the domain and its subdomains
  std::string path = "/";
  std::optional<foundation::Date> expiresDate;  // nothing for a session cookie
  bool isSecure = false;
  bool isHTTPOnly = false;

  bool isSessionOnly() const { return !expiresDate.has_value(); }
  // Whether the cookie is sent to `url` at `now`.
  bool matches(const URL& url, foundation::Date now) const;

  // The cookie of one "Set-Cookie" value received from `url`; nothing when it is malformed or
  // names a domain `url` may not set.
  static std::optional<HTTPCookie> parse(std::string_view setCookie, const URL& url);
  // Every cookie that `headers` set for `url` (cookiesWithResponseHeaderFields:forURL:).
  static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(const std::vector<std::string>& setCookieValues,
                                                                 const URL& url);
  // The "Cookie" header value for `cookies` ("a=1; b=2"); nothing for none.
  static std::optional<std::string> requestHeaderValue(const std::vector<HTTPCookie>& cookies);
};

// Which cookies a storage accepts, with the platform's values.
enum class HTTPCookieAcceptPolicy : unsigned { Always = 0, Never = 1, OnlyFromMainDocumentDomain = 2 };

class HTTPCookieStorage {
 public:
  HTTPCookieStorage() = default;
  // The process-wide storage of default session configurations.
  static std::shared_ptr<HTTPCookieStorage> shared();

  // Stores `cookie`, replacing one of the same name, domain and path; an expired cookie removes
  // that one instead. Ignored when the policy is Never.
  void setCookie(const HTTPCookie& cookie);
  void setCookies(const std::vector<HTTPCookie>& cookies);
  void deleteCookie(const HTTPCookie& cookie);
  // All live cookies, in the order stored.
  std::vector<HTTPCookie> cookies() const;
  // Live cookies sent to `url`, longer paths first (cookiesForURL:).
  std::vector<HTTPCookie> cookiesForURL(const URL& url) const;

  HTTPCookieAcceptPolicy cookieAcceptPolicy() const;
  void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

 private:
  mutable std::mutex mutex_;
  std::vector<HTTPCookie> cookies_;
  HTTPCookieAcceptPolicy policy_ = HTTPCookieAcceptPolicy::Always;
};

}  // namespace net
