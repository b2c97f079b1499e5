#include "platform/net/URL.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/net/PercentEncoding.h"

namespace net {
namespace {

bool isUnreserved(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
  return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}
bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Whether every character of `text` is in the class `extra` admits besides unreserved,
// sub-delims and well-formed percent escapes.
bool validComponent(std::string_view text, std::string_view extra) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
      continue;
    }
    if (isUnreserved(c) || isSubDelim(c) || extra.find(c) != std::string_view::npos) continue;
    return false;
  }
  return true;
}

bool validScheme(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool validHost(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    auto inner = host.substr(1, host.size() - 2);
    for (char c : inner) {
      if (!isHex(c) && c != ':' && c != '.' && c != 'v' && c != 'V' && c != '%' && !isUnreserved(c)) return false;
    }
    return inner.find(':') != std::string_view::npos || inner.front() == 'v' || inner.front() == 'V';
  }
  return validComponent(host, "");
}

bool parseAuthority(std::string_view authority, URLParts& parts) {
  parts.hasAuthority = true;
  auto at = authority.rfind('@');
  if (at != std::string_view::npos) {
    auto userinfo = authority.substr(0, at);
    if (!validComponent(userinfo, ":")) return false;
    auto colon = userinfo.find(':');
    parts.user = std::string(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) parts.password = std::string(userinfo.substr(colon + 1));
    authority = authority.substr(at + 1);
  }
  std::string_view host = authority;
  std::size_t portStart = std::string_view::npos;
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      portStart = close + 2;
    }
  } else {
    auto colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      portStart = colon + 1;
    }
  }
  if (!validHost(host)) return false;
  parts.host = std::string(host);
  if (portStart != std::string_view::npos) {
    auto port = authority.substr(portStart);
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    if (!port.empty()) parts.port = std::string(port);
  }
  return true;
}

std::string mergePaths(const URLParts& base, std::string_view refPath) {
  if (base.hasAuthority && base.path.empty()) return "/" + std::string(refPath);
  auto slash = base.path.rfind('/');
  if (slash == std::string::npos) return std::string(refPath);
  return base.path.substr(0, slash + 1) + std::string(refPath);
}

std::string lastSegment(const std::string& encodedPath) {
  std::string path = encodedPath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/") return "/";
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string URLParts::compose() const {
  std::string out;
  if (scheme) out += *scheme + ":";
  if (hasAuthority) {
    out += "//";
    if (user) {
      out += *user;
      if (password) out += ":" + *password;
      out += "@";
    }
    out += host;
    if (port) out += ":" + *port;
  }
  out += path;
  if (query) out += "?" + *query;
  if (fragment) out += "#" + *fragment;
  return out;
}

std::optional<URLParts> URLParts::parse(std::string_view text) {
  URLParts parts;
  std::string_view rest = text;
  auto hash = rest.find('#');
  if (hash != std::string_view::npos) {
    auto fragment = rest.substr(hash + 1);
    if (!validComponent(fragment, ":@/?")) return std::nullopt;
    parts.fragment = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  auto colon = rest.find(':');
  auto delimiter = rest.find_first_of("/?");
  if (colon != std::string_view::npos && (delimiter == std::string_view::npos || colon < delimiter) &&
      validScheme(rest.substr(0, colon))) {
    parts.scheme = std::string(rest.substr(0, colon));
    rest = rest.substr(colon + 1);
  }
  auto question = rest.find('?');
  if (question != std::string_view::npos) {
    auto query = rest.substr(question + 1);
    if (!validComponent(query, ":@/?")) return std::nullopt;
    parts.query = std::string(query);
    rest = rest.substr(0, question);
  }
  if (rest.substr(0, 2) == "//") {
    rest = rest.substr(2);
    auto slash = rest.find('/');
    if (!parseAuthority(rest.substr(0, slash), parts)) return std::nullopt;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  if (!validComponent(rest, ":@/")) return std::nullopt;
  parts.path = std::string(rest);
  return parts;
}

std::string removeDotSegments(std::string_view path) {
  std::string input(path);
  std::string output;
  while (!input.empty()) {
    if (input.rfind("../", 0) == 0) { input.erase(0, 3); continue; }
    if (input.rfind("./", 0) == 0) { input.erase(0, 2); continue; }
    if (input.rfind("/./", 0) == 0) { input.erase(0, 2); continue; }
    if (input == "/.") { input = "/"; continue; }
    if (input.rfind("/../", 0) == 0 || input == "/..") {
      input = input.size() == 3 ? "/" : input.substr(3);
      auto slash = output.rfind('/');
      output.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    if (input == "." || input == "..") { input.clear(); continue; }
    auto next = input.find('/', input[0] == '/' ? 1 : 0);
    output += input.substr(0, next);
    input.erase(0, next == std::string::npos ? input.size() : next);
  }
  return output;
}

URLParts resolveReference(const URLParts& base, const URLParts& ref) {
  URLParts target;
  if (ref.scheme) {
    target = ref;
    target.path = removeDotSegments(ref.path);
    return target;
  }
  target.scheme = base.scheme;
  target.fragment = ref.fragment;
  if (ref.hasAuthority) {
    target.hasAuthority = true;
    target.user = ref.user;
    target.password = ref.password;
    target.host = ref.host;
    target.port = ref.port;
    target.path = removeDotSegments(ref.path);
    target.query = ref.query;
    return target;
  }
  target.hasAuthority = base.hasAuthority;
  target.user = base.user;
  target.password = base.password;
  target.host = base.host;
  target.port = base.port;
  if (ref.path.empty()) {
    target.path = base.path;
    target.query = ref.query ? ref.query : base.query;
    return target;
  }
  target.path = removeDotSegments(ref.path.front() == '/' ? ref.path : mergePaths(base, ref.path));
  target.query = ref.query;
  return target;
}

URL::URL(std::string text, URLParts parts, std::shared_ptr<const URL> base, URLParts resolved)
    : text_(std::move(text)), ownParts_(std::move(parts)), base_(std::move(base)), parts_(std::move(resolved)) {}

std::optional<URL> URL::fromString(std::string_view text) { return fromString(text, std::nullopt); }

std::optional<URL> URL::fromString(std::string_view text, const std::optional<URL>& base) {
  if (text.empty() && !base) return std::nullopt;
  auto parts = URLParts::parse(text);
  if (!parts) return std::nullopt;
  if (!base || parts->scheme) return URL(std::string(text), *parts, nullptr, *parts);
  auto baseCopy = std::make_shared<const URL>(base->absoluteURL());
  URLParts resolved = resolveReference(baseCopy->parts_, *parts);
  return URL(std::string(text), *parts, std::move(baseCopy), std::move(resolved));
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
  std::string absolute(path);
  if (absolute.empty() || absolute.front() != '/') {
    char buffer[PATH_MAX];
    std::string cwd = getcwd(buffer, sizeof buffer) ? buffer : "/";
    if (cwd.back() != '/') cwd += '/';
    absolute = cwd + absolute;
  }
  if (isDirectory && absolute.back() != '/') absolute += '/';
  URLParts parts;
  parts.scheme = "file";
  parts.hasAuthority = true;
  parts.path = addingPercentEncoding(absolute, URLAllowedCharacters::urlPathAllowed());
  std::string text = parts.compose();
  return URL(text, parts, nullptr, parts);
}

std::string URL::absoluteString() const { return base_ ? parts_.compose() : text_; }

std::optional<URL> URL::baseURL() const {
  if (!base_) return std::nullopt;
  return *base_;
}

URL URL::absoluteURL() const {
  if (!base_) return *this;
  std::string text = parts_.compose();
  return URL(text, parts_, nullptr, parts_);
}

std::optional<std::string> URL::scheme() const { return parts_.scheme; }

std::optional<std::string> URL::host() const {
  if (!parts_.hasAuthority) return std::nullopt;
  std::string host = parts_.host;
  if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  return percentDecodedLeniently(host);
}

std::optional<int> URL::port() const {
  if (!parts_.port) return std::nullopt;
  // More digits than an int holds cannot name a port; answer none rather than a wrapped number.
  if (parts_.port->size() > 9) return std::nullopt;
  return static_cast<int>(std::strtol(parts_.port->c_str(), nullptr, 10));
}

std::optional<std::string> URL::user() const {
  if (!parts_.user) return std::nullopt;
  return percentDecodedLeniently(*parts_.user);
}

std::optional<std::string> URL::password() const {
  if (!parts_.password) return std::nullopt;
  return percentDecodedLeniently(*parts_.password);
}

std::string URL::path() const {
  std::string path = percentDecodedLeniently(parts_.path);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string URL::percentEncodedPath() const { return parts_.path; }
std::optional<std::string> URL::query() const { return parts_.query; }
std::optional<std::string> URL::fragment() const { return parts_.fragment; }

std::vector<std::string> URL::pathComponents() const {
  std::vector<std::string> components;
  const std::string& path = parts_.path;
  if (!path.empty() && path.front() == '/') components.push_back("/");
  std::size_t start = 0;
  while (start <= path.size()) {
    auto slash = path.find('/', start);
    auto segment = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!segment.empty()) components.push_back(percentDecodedLeniently(segment));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return components;
}

std::string URL::lastPathComponent() const {
  if (parts_.path.empty()) return "";
  std::string last = lastSegment(parts_.path);
  return last == "/" ? last : percentDecodedLeniently(last);
}

std::string URL::pathExtension() const {
  std::string name = lastPathComponent();
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
  std::string extension = name.substr(dot + 1);
  if (extension.find(' ') != std::string::npos) return "";
  return extension;
}

bool URL::hasDirectoryPath() const { return !parts_.path.empty() && parts_.path.back() == '/'; }

bool URL::isFileURL() const {
  if (!parts_.scheme) return false;
  std::string s = *parts_.scheme;
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s == "file";
}

URL URL::withPath(std::string encodedPath) const {
  URLParts parts = parts_;
  parts.path = std::move(encodedPath);
  std::string text = parts.compose();
  return URL(text, parts, nullptr, parts);
}

URL URL::appendingPathComponent(std::string_view component, bool isDirectory) const {
  std::string path = parts_.path;
  std::string encoded = addingPercentEncoding(component, URLAllowedCharacters::urlPathAllowed());
  if (path.empty() && parts_.hasAuthority) path = "/";
  if (!encoded.empty() && !path.empty() && path.back() != '/') path += '/';
  if (encoded.empty() && (path.empty() || path.back() != '/')) path += '/';
  while (!encoded.empty() && encoded.front() == '/' && !path.empty() && path.back() == '/') encoded.erase(0, 1);
  path += encoded;
  if (isDirectory && path.back() != '/') path += '/';
  return withPath(path);
}

URL URL::deletingLastPathComponent() const {
  std::string path = parts_.path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path == "/") return withPath(path.empty() ? "../" : "/../");
  auto slash = path.rfind('/');
  return withPath(slash == std::string::npos ? "./" : path.substr(0, slash + 1));
}

URL URL::appendingPathExtension(std::string_view extension) const {
  if (extension.empty() || parts_.path.empty()) return *this;
  std::string path = parts_.path;
  bool trailing = path.size() > 1 && path.back() == '/';
  if (trailing) path.pop_back();
  path += "." + addingPercentEncoding(extension, URLAllowedCharacters::urlPathAllowed());
  if (trailing) path += '/';
  return withPath(path);
}

URL URL::deletingPathExtension() const {
  std::string extension = pathExtension();
  if (extension.empty()) return *this;
  std::string path = parts_.path;
  bool trailing = path.size() > 1 && path.back() == '/';
  if (trailing) path.pop_back();
  auto dot = path.rfind('.');
  path.erase(dot);
  if (trailing) path += '/';
  return withPath(path);
}

URL URL::standardized() const { return withPath(removeDotSegments(parts_.path)); }

bool URL::isEqual(const foundation::Object& other) const {
  auto* url = dynamic_cast<const URL*>(&other);
  return url && *this == *url;
}

bool URL::operator==(const URL& other) const {
  if (text_ != other.text_) return false;
  if (!base_ || !other.base_) return !base_ && !other.base_;
  return *base_ == *other.base_;
}

void URL::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(base_, "NS.base");
  coder.encodeObject(text_, "NS.relative");
}

namespace {

// Rebuilds a URL from its archived text and base; text that no longer parses fails the decode.
std::shared_ptr<foundation::Coding> decodeURL(foundation::KeyedUnarchiver& coder) {
  const auto base = coder.decodeObjectOfClass<URL>("NS.base");
  const auto text = coder.decodeStringForKey("NS.relative");
  if (!text) return nullptr;
  auto url = URL::fromString(*text, base ? std::optional<URL>(*base) : std::nullopt);
  if (!url) {
    coder.failWithError(foundation::Error::withDescription(foundation::kCocoaErrorDomain,
                                                           foundation::kCoderReadCorruptError,
                                                           "An archived URL is not a valid URL."));
    return nullptr;
  }
  return std::make_shared<URL>(std::move(*url));
}

// Registered when this file is linked in, which every program that handles URLs does.
const bool kURLArchivable = foundation::CodingRegistry::registerClass(
    std::type_index(typeid(URL)), {"NSURL", "", true, decodeURL});

}  // namespace

}  // namespace net
