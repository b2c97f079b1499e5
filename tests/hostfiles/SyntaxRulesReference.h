#pragma once
// The hostfile syntax rules as they read, for checking the fast scanner against: the platform's
// regular-expression engine matches the two line patterns, and a compressed or zoned address is
// judged by the editor's address validator. Shared by the syntax tests and the hostfiles fuzz
// target; slow, and meant for nothing else.
#include <string>
#include <string_view>

#include "hostfiles/IP.h"
#include "hostfiles/SyntaxRules.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/String.h"

namespace syntax_reference {

// A compressed or zoned address (one holding "::") passes as the editor's validator judges the
// run up to the first blank or tab, when white space and a non-blank character follow it.
inline bool compressedVerdict(const std::string& trimmed) {
  using foundation::RegularExpression;
  static const auto rest = RegularExpression::create("^\\s+\\S", RegularExpression::Options{});
  const std::size_t end = trimmed.find_first_of(" \t");
  if (end == std::string::npos || trimmed.substr(0, end).find("::") == std::string::npos) return false;
  const std::u16string address = foundation::utf16(trimmed.substr(0, end));
  IP validator{address};
  validator.setRange({0, address.size()});
  const std::string after = trimmed.substr(end);
  return validator.isValid() && rest->numberOfMatches(after, 0, {0, foundation::utf16(after).size()}) == 1;
}

// One line's verdict, applied as the rules read: trim the platform's white space and line ends,
// pass blank and comment lines, match over as many units as the line has characters.
inline bool lineVerdict(std::string_view line) {
  using foundation::RegularExpression;
  static const auto v4 = RegularExpression::create(SyntaxRules::kIPv4LinePattern, RegularExpression::CaseInsensitive);
  static const auto v6 = RegularExpression::create(SyntaxRules::kIPv6LinePattern, RegularExpression::CaseInsensitive);
  const std::string trimmed = foundation::trim(line);
  if (trimmed.empty() || trimmed[0] == '#') return true;
  const foundation::Range window{0, foundation::composedCharacterCount(trimmed)};
  return v4->numberOfMatches(trimmed, 0, window) == 1 || v6->numberOfMatches(trimmed, 0, window) == 1 ||
         compressedVerdict(trimmed);
}

}  // namespace syntax_reference
