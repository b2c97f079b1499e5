#include "platform/net/HTTPCookieStorage.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>

namespace net {
namespace {

std::string trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool domainMatches(const std::string& host, const std::string& domain) {
  if (domain.empty()) return false;
  if (domain.front() != '.') return host == domain;
  std::string bare = domain.substr(1);
  if (host == bare) return true;
  return host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0;
}

bool pathMatches(const std::string& requestPath, const std::string& cookiePath) {
  if (requestPath == cookiePath) return true;
  if (requestPath.rfind(cookiePath, 0) != 0) return false;
  return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string defaultPath(const URL& url) {
  std::string path = url.percentEncodedPath();
  if (path.empty() || path.front() != '/') return "/";
  auto slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<foundation::Date> parseHTTPDate(const std::string& text) {
  std::tm tm{};
  for (const char* format : {"%a, %d %b %Y %H:%M:%S", "%a, %d-%b-%Y %H:%M:%S", "%a, %d-%b-%y %H:%M:%S"}) {
    tm = {};
    if (strptime(text.c_str(), format, &tm)) return foundation::Date::fromTimeIntervalSince1970(double(timegm(&tm)));
  }
  return std::nullopt;
}

}  // namespace

bool HTTPCookie::matches(const URL& url, foundation::Date now) const {
  if (expiresDate && *expiresDate <= now) return false;
  std::string host = lower(url.host().value_or(""));
  if (!domainMatches(host, domain)) return false;
  if (isSecure && lower(url.scheme().value_or("")) != "https") return false;
  std::string requestPath = url.percentEncodedPath();
  return pathMatches(requestPath.empty() ? "/" : requestPath, path);
}

std::optional<HTTPCookie> HTTPCookie::parse(std::string_view setCookie, const URL& url) {
  auto semi = setCookie.find(';');
  std::string pair = trim(setCookie.substr(0, semi));
  auto eq = pair.find('=');
  if (eq == std::string::npos || trim(pair.substr(0, eq)).empty()) return std::nullopt;
  HTTPCookie cookie;
  cookie.name = trim(pair.substr(0, eq));
  cookie.value = trim(pair.substr(eq + 1));
  std::string host = lower(url.host().value_or(""));
  cookie.domain = host;
  cookie.path = defaultPath(url);
  std::optional<double> maxAge;
  while (semi != std::string_view::npos) {
    setCookie = setCookie.substr(semi + 1);
    semi = setCookie.find(';');
    std::string attribute = trim(setCookie.substr(0, semi));
    auto aeq = attribute.find('=');
    std::string name = lower(trim(attribute.substr(0, aeq)));
    std::string value = aeq == std::string::npos ? "" : trim(attribute.substr(aeq + 1));
    if (name == "domain" && !value.empty()) {
      std::string domain = lower(value.front() == '.' ? value : "." + value);
      // A server may only set cookies for its own domain or a parent of it.
      if (!domainMatches(host, domain)) return std::nullopt;
      cookie.domain = domain;
    } else if (name == "path" && !value.empty() && value.front() == '/') {
      cookie.path = value;
    } else if (name == "expires") {
      if (auto date = parseHTTPDate(value)) cookie.expiresDate = date;
    } else if (name == "max-age") {
      char* end = nullptr;
      double seconds = std::strtod(value.c_str(), &end);
      if (end && *end == '\0' && !value.empty()) maxAge = seconds;
    } else if (name == "secure") {
      cookie.isSecure = true;
    } else if (name == "httponly") {
      cookie.isHTTPOnly = true;
    }
  }
  if (maxAge) cookie.expiresDate = foundation::Date::now().addingTimeInterval(*maxAge);
  return cookie;
}

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(const std::vector<std::string>& values,
                                                                    const URL& url) {
  std::vector<HTTPCookie> cookies;
  for (const auto& value : values) {
    if (auto cookie = parse(value, url)) cookies.push_back(*cookie);
  }
  return cookies;
}

std::optional<std::string> HTTPCookie::requestHeaderValue(const std::vector<HTTPCookie>& cookies) {
  if (cookies.empty()) return std::nullopt;
  std::string out;
  for (const auto& cookie : cookies) {
    if (!out.empty()) out += "; ";
    out += cookie.name + "=" + cookie.value;
  }
  return out;
}

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::shared() {
  static auto* storage = new std::shared_ptr<HTTPCookieStorage>(std::make_shared<HTTPCookieStorage>());
  return *storage;
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
  std::lock_guard lock(mutex_);
  if (policy_ == HTTPCookieAcceptPolicy::Never) return;
  auto same = [&](const HTTPCookie& c) {
    return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
  };
  cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(), same), cookies_.end());
  if (cookie.expiresDate && *cookie.expiresDate <= foundation::Date::now()) return;
  cookies_.push_back(cookie);
}

void HTTPCookieStorage::setCookies(const std::vector<HTTPCookie>& cookies) {
  for (const auto& cookie : cookies) setCookie(cookie);
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& cookie) {
  std::lock_guard lock(mutex_);
  cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                [&](const HTTPCookie& c) {
                                  return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
                                }),
                 cookies_.end());
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
  std::lock_guard lock(mutex_);
  auto now = foundation::Date::now();
  std::vector<HTTPCookie> live;
  for (const auto& c : cookies_) {
    if (!c.expiresDate || *c.expiresDate > now) live.push_back(c);
  }
  return live;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const URL& url) const {
  std::lock_guard lock(mutex_);
  auto now = foundation::Date::now();
  std::vector<HTTPCookie> matching;
  for (const auto& c : cookies_) {
    if (c.matches(url, now)) matching.push_back(c);
  }
  std::stable_sort(matching.begin(), matching.end(),
                   [](const HTTPCookie& a, const HTTPCookie& b) { return a.path.size() > b.path.size(); });
  return matching;
}

HTTPCookieAcceptPolicy HTTPCookieStorage::cookieAcceptPolicy() const {
  std::lock_guard lock(mutex_);
  return policy_;
}

void HTTPCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
  std::lock_guard lock(mutex_);
  policy_ = policy;
}

}  // namespace net
