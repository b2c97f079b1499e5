#pragma once
// URL stands in for the platform's URL value: an RFC 3986 URI reference, absolute or relative to
// a base URL. Parsing is strict in the platform's manner: text with characters that may not
// appear in a URL (spaces, quotes, angle brackets, non-ASCII, a stray "%") gives no URL at all.
// Components come back percent-decoded except the query and fragment, as the platform's do.
//
// A URL is an immutable value (copies are independent); it is also an Object so that it can
// travel inside a foundation::Value (error user-info, notification payloads), and an archivable
// one, registered as "NSURL" with secure coding: its text and its base survive keyed archiving.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Value.h"

namespace net {

// The parts of a URI reference as they appear in its text (still percent-encoded). Absent parts
// are distinguished from empty ones ("http://h?" has an empty query, "http://h" none).
struct URLParts {
  std::optional<std::string> scheme;
  bool hasAuthority = false;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::string host;  // with the brackets of an IPv6 literal
  std::optional<std::string> port;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  // The text these parts make: scheme ":" "//" authority path "?" query "#" fragment.
  std::string compose() const;
  // Splits `text` into parts; nothing when it is no valid URI reference.
  static std::optional<URLParts> parse(std::string_view text);
};

class URL : public foundation::Coding {
 public:
  // An empty URL (""), which is not a valid resource; prefer the factories below.
  URL() = default;

  // Parses `text` (URL(string:)); nothing when it is empty or not a valid URI reference.
  static std::optional<URL> fromString(std::string_view text);
  // Parses `text` relative to `base` (URL(string:relativeTo:)); nothing when `text` is invalid.
  // Without a base this is fromString.
  static std::optional<URL> fromString(std::string_view text, const std::optional<URL>& base);
  // A "file://" URL for an absolute or relative file system path (relative to the current
  // directory). A trailing "/" is added when `isDirectory` is true. Never fails.
  static URL fileURLWithPath(std::string_view path, bool isDirectory = false);

  // The text the URL was made from (relativeString).
  const std::string& relativeString() const { return text_; }
  // The resolved text (absoluteString): the relative text resolved against the base, if any.
  std::string absoluteString() const;
  // The base URL, when the URL was made relative to one.
  std::optional<URL> baseURL() const;
  // The resolved URL without a base.
  URL absoluteURL() const;

  // Components of the resolved URL. scheme as written; host without IPv6 brackets,
  // percent-decoded; port as a number; user and password percent-decoded.
  std::optional<std::string> scheme() const;
  std::optional<std::string> host() const;
  std::optional<int> port() const;
  std::optional<std::string> user() const;
  std::optional<std::string> password() const;
  // The percent-decoded path with a trailing "/" removed (except the root "/"); "" when none.
  std::string path() const;
  // The path as written, still percent-encoded and with any trailing "/".
  std::string percentEncodedPath() const;
  // The query and fragment as written (percent-encoded), without "?" and "#".
  std::optional<std::string> query() const;
  std::optional<std::string> fragment() const;
  // The parts of the resolved URL as written.
  const URLParts& parts() const { return parts_; }

  // "/", then each non-empty decoded segment ("/a/b/" gives {"/", "a", "b"}).
  std::vector<std::string> pathComponents() const;
  // The last path component; "" when the path is empty.
  std::string lastPathComponent() const;
  // The text after the last "." of the last path component, "" when there is none or the dot
  // starts the name (".profile").
  std::string pathExtension() const;
  bool hasDirectoryPath() const;
  bool isFileURL() const;

  // A copy with `component` (percent-encoded for a path) appended after a "/"; "" only adds a
  // trailing "/". `isDirectory` appends a trailing "/".
  URL appendingPathComponent(std::string_view component, bool isDirectory = false) const;
  // A copy without the last path component ("/a/b" -> "/a/", "/a" -> "/").
  URL deletingLastPathComponent() const;
  // A copy with "." and `extension` added to the last component; an empty extension changes nothing.
  URL appendingPathExtension(std::string_view extension) const;
  // A copy without the path extension.
  URL deletingPathExtension() const;
  // A copy with "." and ".." segments removed from the path.
  URL standardized() const;

  // Writes the relative text and the base URL.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

  std::string description() const override { return absoluteString(); }
  bool isEqual(const foundation::Object& other) const override;
  // Equal when the relative texts and the bases are equal, as on the platform.
  bool operator==(const URL& other) const;

 private:
  URL(std::string text, URLParts parts, std::shared_ptr<const URL> base, URLParts resolved);
  URL withPath(std::string encodedPath) const;

  std::string text_;
  URLParts ownParts_;
  std::shared_ptr<const URL> base_;
  URLParts parts_;  // resolved
};

// RFC 3986 dot-segment removal on an encoded path.
std::string removeDotSegments(std::string_view path);
// Resolves `reference` against `base` (RFC 3986 section 5.2).
URLParts resolveReference(const URLParts& base, const URLParts& reference);

}  // namespace net
