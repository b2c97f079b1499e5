#include "platform/net/PercentEncoding.h"

namespace net {
namespace {

constexpr std::string_view kAlpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kSubDelims = "!$&'()*+,;=";

URLAllowedCharacters unreservedPlus(std::string_view extra) {
  return URLAllowedCharacters::withCharacters(kAlpha)
      .adding(kDigits)
      .adding("-._~")
      .adding(kSubDelims)
      .adding(extra);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isValidUTF8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    char32_t cp = 0;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
    else return false;
    if (i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

URLAllowedCharacters URLAllowedCharacters::withCharacters(std::string_view chars) {
  return URLAllowedCharacters().adding(chars);
}

URLAllowedCharacters URLAllowedCharacters::urlUserAllowed() { return unreservedPlus(""); }
URLAllowedCharacters URLAllowedCharacters::urlPasswordAllowed() { return unreservedPlus(""); }
URLAllowedCharacters URLAllowedCharacters::urlHostAllowed() { return unreservedPlus(":[]"); }
URLAllowedCharacters URLAllowedCharacters::urlPathAllowed() { return unreservedPlus(":@/").removing(";"); }
URLAllowedCharacters URLAllowedCharacters::urlQueryAllowed() { return unreservedPlus(":@/?"); }
URLAllowedCharacters URLAllowedCharacters::urlFragmentAllowed() { return unreservedPlus(":@/?"); }

URLAllowedCharacters URLAllowedCharacters::removing(std::string_view chars) const {
  URLAllowedCharacters copy = *this;
  for (char c : chars) {
    if (static_cast<unsigned char>(c) < 128) copy.bits_.reset(static_cast<unsigned char>(c));
  }
  return copy;
}

URLAllowedCharacters URLAllowedCharacters::adding(std::string_view chars) const {
  URLAllowedCharacters copy = *this;
  for (char c : chars) {
    if (static_cast<unsigned char>(c) < 128) copy.bits_.set(static_cast<unsigned char>(c));
  }
  return copy;
}

bool URLAllowedCharacters::contains(char c) const {
  auto u = static_cast<unsigned char>(c);
  return u < 128 && bits_.test(u);
}

std::string addingPercentEncoding(std::string_view text, const URLAllowedCharacters& allowed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (allowed.contains(c)) {
      out.push_back(c);
      continue;
    }
    auto u = static_cast<unsigned char>(c);
    out.push_back('%');
    out.push_back(kHex[u >> 4]);
    out.push_back(kHex[u & 0x0F]);
  }
  return out;
}

std::optional<std::string> removingPercentEncoding(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  if (!isValidUTF8(out)) return std::nullopt;
  return out;
}

std::string percentDecodedLeniently(std::string_view text) {
  if (auto decoded = removingPercentEncoding(text)) return *decoded;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace net
