#include "platform/net/URLResponse.h"

#include <cctype>
#include <cstdlib>

#include "platform/net/PercentEncoding.h"

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

std::string unquote(std::string s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') {
    std::string out;
    for (std::size_t i = 1; i + 1 < s.size(); ++i) {
      if (s[i] == '\\' && i + 2 < s.size()) ++i;
      out.push_back(s[i]);
    }
    return out;
  }
  return s;
}

// The parameters of a header value after its first ";": name (lower-cased) and raw value.
std::vector<std::pair<std::string, std::string>> parameters(std::string_view value) {
  std::vector<std::pair<std::string, std::string>> out;
  auto semi = value.find(';');
  while (semi != std::string_view::npos) {
    value = value.substr(semi + 1);
    // A ";" inside a quoted value does not end the parameter.
    std::size_t end = 0;
    bool quoted = false;
    for (; end < value.size(); ++end) {
      if (value[end] == '"') quoted = !quoted;
      if (value[end] == ';' && !quoted) break;
    }
    std::string param(value.substr(0, end));
    auto eq = param.find('=');
    if (eq != std::string::npos) out.emplace_back(lower(trim(param.substr(0, eq))), trim(param.substr(eq + 1)));
    semi = end < value.size() ? end : std::string_view::npos;
  }
  return out;
}

std::int64_t lengthFrom(const HTTPHeaderFields& headers) {
  auto value = headers.value("Content-Length");
  if (!value) return kURLResponseUnknownLength;
  std::string text = trim(*value);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return kURLResponseUnknownLength;
  return std::strtoll(text.c_str(), nullptr, 10);
}

std::optional<std::string> mimeOf(const HTTPHeaderFields& headers) {
  std::optional<std::string> mime, charset;
  if (auto value = headers.value("Content-Type")) parseContentType(*value, mime, charset);
  return mime;
}

std::optional<std::string> charsetOf(const HTTPHeaderFields& headers) {
  std::optional<std::string> mime, charset;
  if (auto value = headers.value("Content-Type")) parseContentType(*value, mime, charset);
  return charset;
}

std::string fallbackName(const URL& url) {
  std::string last = url.lastPathComponent();
  if (auto safe = sanitizedFilename(last)) return *safe;
  return "Unknown";
}

}  // namespace

void parseContentType(std::string_view value, std::optional<std::string>& mimeType,
                      std::optional<std::string>& charset) {
  std::string type = lower(trim(value.substr(0, value.find(';'))));
  if (!type.empty()) mimeType = type;
  for (auto& [name, v] : parameters(value)) {
    if (name == "charset") charset = unquote(v);
  }
}

std::optional<std::string> contentDispositionFilename(std::string_view value) {
  std::optional<std::string> plain;
  for (auto& [name, v] : parameters(value)) {
    if (name == "filename*") {
      // RFC 5987: charset'language'percent-encoded; only UTF-8 (and its ASCII subset) is read.
      auto first = v.find('\'');
      auto second = first == std::string::npos ? first : v.find('\'', first + 1);
      if (second != std::string::npos) {
        std::string cs = lower(v.substr(0, first));
        if (cs == "utf-8" || cs == "us-ascii") {
          if (auto decoded = removingPercentEncoding(v.substr(second + 1))) return decoded;
        }
      }
    } else if (name == "filename") {
      plain = unquote(v);
    }
  }
  return plain;
}

std::optional<std::string> sanitizedFilename(std::string_view name) {
  // A server controls this text; keep only what follows the last separator so that it can never
  // climb out of the folder it is saved in.
  auto slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name = name.substr(slash + 1);
  std::string out;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    out.push_back(c);
  }
  out = trim(out);
  if (out.empty() || out == "." || out == "..") return std::nullopt;
  return out;
}

URLResponse::URLResponse(URL url, std::optional<std::string> mimeType, std::int64_t expectedContentLength,
                         std::optional<std::string> textEncodingName)
    : url_(std::move(url)),
      mimeType_(std::move(mimeType)),
      expectedLength_(expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {}

URLResponse::~URLResponse() = default;

std::string URLResponse::suggestedFilename() const { return fallbackName(url_); }

std::string URLResponse::description() const {
  return "<URLResponse: " + url_.absoluteString() + ">";
}

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaderFields headers)
    : URLResponse(std::move(url), mimeOf(headers), lengthFrom(headers), charsetOf(headers)),
      statusCode_(statusCode),
      httpVersion_(std::move(httpVersion)),
      headers_(std::move(headers)) {}

std::string HTTPURLResponse::suggestedFilename() const {
  if (auto disposition = headers_.value("Content-Disposition")) {
    if (auto name = contentDispositionFilename(*disposition)) {
      if (auto safe = sanitizedFilename(*name)) return *safe;
    }
  }
  return URLResponse::suggestedFilename();
}

std::string HTTPURLResponse::localizedStringForStatusCode(int code) {
  switch (code) {
    case 100: return "continue";
    case 101: return "switching protocols";
    case 200: return "no error";
    case 201: return "created";
    case 202: return "accepted";
    case 203: return "non-authoritative information";
    case 204: return "no content";
    case 205: return "reset content";
    case 206: return "partial content";
    case 300: return "multiple choices";
    case 301: return "moved permanently";
    case 302: return "found";
    case 303: return "see other";
    case 304: return "not modified";
    case 305: return "needs proxy";
    case 307: return "temporarily redirected";
    case 308: return "permanent redirect";
    case 400: return "bad request";
    case 401: return "unauthorized";
    case 402: return "payment required";
    case 403: return "forbidden";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 406: return "unacceptable";
    case 407: return "proxy authentication required";
    case 408: return "request timed out";
    case 409: return "conflict";
    case 410: return "no longer exists";
    case 411: return "length required";
    case 412: return "precondition failed";
    case 413: return "request too large";
    case 414: return "requested URL too long";
    case 415: return "unsupported media type";
    case 416: return "requested range not satisfiable";
    case 417: return "expectation failed";
    case 429: return "too many requests";
    case 500: return "internal server error";
    case 501: return "unimplemented";
    case 502: return "bad gateway";
    case 503: return "service unavailable";
    case 504: return "gateway timed out";
    case 505: return "unsupported version";
    default: break;
  }
  if (code >= 100 && code < 200) return "informational";
  if (code >= 200 && code < 300) return "success";
  if (code >= 300 && code < 400) return "redirected";
  if (code >= 400 && code < 500) return "client error";
  return "server error";
}

std::string HTTPURLResponse::description() const {
  return "<HTTPURLResponse: " + url().absoluteString() + " { Status Code: " + std::to_string(statusCode_) + " }>";
}

}  // namespace net
