#pragma once
// URLComponents stands in for the platform's URL components: a URL taken apart into scheme,
// user, password, host, port, path, query and fragment, each readable and settable decoded or
// percent-encoded, and put back together into a URL. Query items give the query as name/value
// pairs. A plain value; not synchronised.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/net/URL.h"

namespace net {

// One "name=value" pair of a query. A missing value ("a" in "a&b=1") differs from an empty one.
struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;
  bool operator==(const URLQueryItem&) const = default;
};

class URLComponents : public foundation::Object {
 public:
  // Empty components (every part absent, empty path).
  URLComponents() = default;
  // The components of `text`; nothing when it is no valid URL text.
  static std::optional<URLComponents> fromString(std::string_view text);
  // The components of `url`, of its resolved form when `resolvingAgainstBaseURL` is true, else of
  // its relative text.
  static URLComponents fromURL(const URL& url, bool resolvingAgainstBaseURL = false);

  // Decoded accessors; setting one percent-encodes it for its part.
  std::optional<std::string> scheme() const { return parts_.scheme; }
  void setScheme(std::optional<std::string> scheme) { parts_.scheme = std::move(scheme); }
  std::optional<std::string> user() const;
  void setUser(const std::optional<std::string>& user);
  std::optional<std::string> password() const;
  void setPassword(const std::optional<std::string>& password);
  // Without the brackets of an IPv6 literal.
  std::optional<std::string> host() const;
  void setHost(const std::optional<std::string>& host);
  std::optional<int> port() const;
  void setPort(std::optional<int> port);
  std::string path() const;
  void setPath(const std::string& path);
  std::optional<std::string> query() const;
  void setQuery(const std::optional<std::string>& query);
  std::optional<std::string> fragment() const;
  void setFragment(const std::optional<std::string>& fragment);

  // The parts as written. Setters store the text unchanged; the caller vouches for its escapes.
  std::optional<std::string> percentEncodedUser() const { return parts_.user; }
  void setPercentEncodedUser(std::optional<std::string> v) { parts_.user = std::move(v); touchAuthority(); }
  std::optional<std::string> percentEncodedPassword() const { return parts_.password; }
  void setPercentEncodedPassword(std::optional<std::string> v) { parts_.password = std::move(v); touchAuthority(); }
  std::optional<std::string> percentEncodedHost() const;
  void setPercentEncodedHost(std::optional<std::string> v);
  std::string percentEncodedPath() const { return parts_.path; }
  void setPercentEncodedPath(std::string v) { parts_.path = std::move(v); }
  std::optional<std::string> percentEncodedQuery() const { return parts_.query; }
  void setPercentEncodedQuery(std::optional<std::string> v) { parts_.query = std::move(v); }
  std::optional<std::string> percentEncodedFragment() const { return parts_.fragment; }
  void setPercentEncodedFragment(std::optional<std::string> v) { parts_.fragment = std::move(v); }

  // The query split at "&" and "=" and decoded; nothing when there is no query.
  std::optional<std::vector<URLQueryItem>> queryItems() const;
  // Sets the query from items, encoding "&", "=", "#" and whatever the query may not hold;
  // nothing removes the query.
  void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);

  // The text of the components; nothing when they cannot form a URL (a path that does not start
  // with "/" after an authority, or a path starting with "//" without one).
  std::optional<std::string> string() const;
  // The URL of the components; nothing as for string(), or when the text does not parse.
  std::optional<URL> url() const;
  // The URL resolved against `base`; nothing as for url().
  std::optional<URL> url(const URL& base) const;

  std::string description() const override;
  bool isEqual(const foundation::Object& other) const override;
  bool operator==(const URLComponents& other) const;

 private:
  explicit URLComponents(URLParts parts) : parts_(std::move(parts)) {}
  void touchAuthority();
  URLParts parts_;
  bool hostSet_ = false;
};

}  // namespace net
