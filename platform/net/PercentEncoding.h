#pragma once
// Percent-encoding for URLs: the sets of ASCII characters that may stand unescaped in each URL
// component, and the encoding and decoding of text against them. The sets follow the platform's
// URL character sets (urlQueryAllowed and its siblings). Characters outside ASCII are always
// encoded, byte by byte of their UTF-8 form.
#include <bitset>
#include <optional>
#include <string>
#include <string_view>

namespace net {

// A set of ASCII characters allowed unescaped. An immutable value; safe to share across threads.
class URLAllowedCharacters {
 public:
  URLAllowedCharacters() = default;
  // The set of the characters in `chars` (non-ASCII bytes are ignored).
  static URLAllowedCharacters withCharacters(std::string_view chars);

  // The platform's predefined sets.
  static URLAllowedCharacters urlUserAllowed();
  static URLAllowedCharacters urlPasswordAllowed();
  static URLAllowedCharacters urlHostAllowed();
  static URLAllowedCharacters urlPathAllowed();
  static URLAllowedCharacters urlQueryAllowed();
  static URLAllowedCharacters urlFragmentAllowed();

  // A copy without / with the characters in `chars`.
  URLAllowedCharacters removing(std::string_view chars) const;
  URLAllowedCharacters adding(std::string_view chars) const;

  bool contains(char c) const;

 private:
  std::bitset<128> bits_;
};

// `text` with every byte outside `allowed` written as "%XX" (upper-case hex). Never fails.
std::string addingPercentEncoding(std::string_view text, const URLAllowedCharacters& allowed);
// `text` with every "%XX" decoded; nothing when a "%" is not followed by two hex digits or the
// decoded bytes are not valid UTF-8.
std::optional<std::string> removingPercentEncoding(std::string_view text);
// Like removingPercentEncoding, but keeps malformed escapes and bytes as they are (never fails);
// for accessors that must answer something for any stored component.
std::string percentDecodedLeniently(std::string_view text);

}  // namespace net
