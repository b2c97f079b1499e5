#include "platform/net/URLComponents.h"

#include <cstdlib>

#include "platform/net/PercentEncoding.h"

namespace net {
namespace {

std::optional<std::string> decoded(const std::optional<std::string>& part) {
  if (!part) return std::nullopt;
  return percentDecodedLeniently(*part);
}

std::optional<std::string> encoded(const std::optional<std::string>& part, const URLAllowedCharacters& allowed) {
  if (!part) return std::nullopt;
  return addingPercentEncoding(*part, allowed);
}

bool looksLikeIPv6(const std::string& host) { return host.find(':') != std::string::npos; }

}  // namespace

std::optional<URLComponents> URLComponents::fromString(std::string_view text) {
  auto parts = URLParts::parse(text);
  if (!parts) return std::nullopt;
  URLComponents components(*parts);
  components.hostSet_ = parts->hasAuthority;
  return components;
}

URLComponents URLComponents::fromURL(const URL& url, bool resolvingAgainstBaseURL) {
  if (resolvingAgainstBaseURL || !url.baseURL()) {
    URLComponents c(url.parts());
    c.hostSet_ = url.parts().hasAuthority;
    return c;
  }
  auto parts = URLParts::parse(url.relativeString());
  URLComponents c(parts ? *parts : URLParts{});
  c.hostSet_ = c.parts_.hasAuthority;
  return c;
}

void URLComponents::touchAuthority() { parts_.hasAuthority = hostSet_ || parts_.user || parts_.password || parts_.port; }

std::optional<std::string> URLComponents::user() const { return decoded(parts_.user); }
void URLComponents::setUser(const std::optional<std::string>& user) {
  parts_.user = encoded(user, URLAllowedCharacters::urlUserAllowed().removing(":"));
  touchAuthority();
}
std::optional<std::string> URLComponents::password() const { return decoded(parts_.password); }
void URLComponents::setPassword(const std::optional<std::string>& password) {
  parts_.password = encoded(password, URLAllowedCharacters::urlPasswordAllowed().removing(":"));
  touchAuthority();
}

std::optional<std::string> URLComponents::percentEncodedHost() const {
  if (!hostSet_) return std::nullopt;
  std::string host = parts_.host;
  if (host.size() >= 2 && host.front() == '[') return host.substr(1, host.size() - 2);
  return host;
}

void URLComponents::setPercentEncodedHost(std::optional<std::string> host) {
  hostSet_ = host.has_value();
  parts_.host = host ? (looksLikeIPv6(*host) ? "[" + *host + "]" : *host) : "";
  touchAuthority();
}

std::optional<std::string> URLComponents::host() const { return decoded(percentEncodedHost()); }

void URLComponents::setHost(const std::optional<std::string>& host) {
  if (!host) return setPercentEncodedHost(std::nullopt);
  if (looksLikeIPv6(*host)) return setPercentEncodedHost(*host);
  setPercentEncodedHost(addingPercentEncoding(*host, URLAllowedCharacters::urlHostAllowed().removing(":[]")));
}

std::optional<int> URLComponents::port() const {
  if (!parts_.port || parts_.port->size() > 9) return std::nullopt;
  return static_cast<int>(std::strtol(parts_.port->c_str(), nullptr, 10));
}

void URLComponents::setPort(std::optional<int> port) {
  parts_.port = port ? std::optional<std::string>(std::to_string(*port)) : std::nullopt;
  touchAuthority();
}

std::string URLComponents::path() const { return percentDecodedLeniently(parts_.path); }
void URLComponents::setPath(const std::string& path) {
  parts_.path = addingPercentEncoding(path, URLAllowedCharacters::urlPathAllowed().adding(";"));
}
std::optional<std::string> URLComponents::query() const { return decoded(parts_.query); }
void URLComponents::setQuery(const std::optional<std::string>& query) {
  parts_.query = encoded(query, URLAllowedCharacters::urlQueryAllowed());
}
std::optional<std::string> URLComponents::fragment() const { return decoded(parts_.fragment); }
void URLComponents::setFragment(const std::optional<std::string>& fragment) {
  parts_.fragment = encoded(fragment, URLAllowedCharacters::urlFragmentAllowed());
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
  if (!parts_.query) return std::nullopt;
  std::vector<URLQueryItem> items;
  const std::string& query = *parts_.query;
  if (query.empty()) return items;
  std::size_t start = 0;
  while (true) {
    auto amp = query.find('&', start);
    std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    auto eq = pair.find('=');
    URLQueryItem item;
    item.name = percentDecodedLeniently(pair.substr(0, eq));
    if (eq != std::string::npos) item.value = percentDecodedLeniently(pair.substr(eq + 1));
    items.push_back(std::move(item));
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return items;
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
  if (!items) {
    parts_.query.reset();
    return;
  }
  auto allowed = URLAllowedCharacters::urlQueryAllowed().removing("&=#");
  std::string query;
  for (std::size_t i = 0; i < items->size(); ++i) {
    if (i) query += '&';
    query += addingPercentEncoding((*items)[i].name, allowed);
    if ((*items)[i].value) query += "=" + addingPercentEncoding(*(*items)[i].value, allowed);
  }
  parts_.query = query;
}

std::optional<std::string> URLComponents::string() const {
  URLParts parts = parts_;
  parts.hasAuthority = hostSet_ || parts.user || parts.password || parts.port;
  if (parts.hasAuthority && !parts.path.empty() && parts.path.front() != '/') return std::nullopt;
  if (!parts.hasAuthority && parts.path.rfind("//", 0) == 0) return std::nullopt;
  return parts.compose();
}

std::optional<URL> URLComponents::url() const {
  auto text = string();
  if (!text) return std::nullopt;
  return URL::fromString(*text);
}

std::optional<URL> URLComponents::url(const URL& base) const {
  auto text = string();
  if (!text) return std::nullopt;
  return URL::fromString(*text, base);
}

std::string URLComponents::description() const { return string().value_or(""); }

bool URLComponents::isEqual(const foundation::Object& other) const {
  auto* c = dynamic_cast<const URLComponents*>(&other);
  return c && *this == *c;
}

bool URLComponents::operator==(const URLComponents& other) const { return string() == other.string(); }

}  // namespace net
