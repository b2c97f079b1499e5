#include "hostfiles/SyntaxRules.h"

#include <cstddef>

#include "hostfiles/IP.h"
#include "platform/foundation/CharacterSet.h"
#include "platform/foundation/String.h"

namespace {

// The scanner works on any unit type through this view of a line: its units and whether a unit
// is white space. `\s` of the patterns is the Unicode White_Space property, which is exactly the
// platform's whitespace-and-newline set; no code point outside the BMP is white space, so testing
// single UTF-16 units is exact.
template <typename Unit>
struct Line {
  std::basic_string_view<Unit> units;
  static bool isSpace(Unit u) {
    if constexpr (sizeof(Unit) == 1) {
      return u == ' ' || (u >= '\t' && u <= '\r');
    } else {
      static const foundation::CharacterSet spaces = foundation::CharacterSet::whitespaceAndNewline();
      return spaces.characterIsMember(u);
    }
  }
};

template <typename Unit>
bool isDecimal(Unit u) { return u >= '0' && u <= '9'; }

template <typename Unit>
bool isHex(Unit u) { return isDecimal(u) || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F'); }

// The length of the run of units passing `test` from `pos`, up to `limit` + 1 so that callers can
// tell "too long" from "long enough".
template <typename Unit, typename Test>
std::size_t runLength(std::basic_string_view<Unit> s, std::size_t pos, std::size_t limit, Test test) {
  std::size_t n = 0;
  while (pos + n < s.size() && n <= limit && test(s[pos + n])) ++n;
  return n;
}

// A match of a pattern is decided by its shortest form, which ends with the first unit of the
// word after the blank run; the functions below return that end (0 when there is no match), so
// that the window rule can be applied afterwards.
constexpr std::size_t kNoMatch = 0;

// `\s+\S+` at `pos`: at least one white-space unit, then a unit that is not.
template <typename Unit>
std::size_t blankThenWord(std::basic_string_view<Unit> s, std::size_t pos) {
  if (pos >= s.size() || !Line<Unit>::isSpace(s[pos])) return kNoMatch;
  while (pos < s.size() && Line<Unit>::isSpace(s[pos])) ++pos;
  return pos < s.size() ? pos + 1 : kNoMatch;
}

// Parts of digits (or hex digits) can only end where the next required unit is not a digit, so a
// run that is longer than allowed can never match by backtracking: each run must be maximal.
template <typename Unit>
std::size_t matchIPv4Line(std::basic_string_view<Unit> s) {
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t n = runLength(s, pos, 3, isDecimal<Unit>);
    if (n < 1 || n > 3) return kNoMatch;
    pos += n;
    if (part == 3) break;
    if (pos >= s.size() || s[pos] != '.') return kNoMatch;
    ++pos;
  }
  return blankThenWord(s, pos);
}

template <typename Unit>
std::size_t matchIPv6Line(std::basic_string_view<Unit> s) {
  std::size_t pos = 0;
  for (int groups = 1;; ++groups) {
    std::size_t n = runLength(s, pos, 4, isHex<Unit>);
    if (n < 1 || n > 4) return kNoMatch;
    pos += n;
    if (pos < s.size() && s[pos] == ':') {
      if (groups == 8) return kNoMatch;
      ++pos;
      continue;
    }
    return groups >= 4 ? blankThenWord(s, pos) : kNoMatch;
  }
}

// A compressed or zoned version-6 address (one holding "::"), taken as the editor takes it: the
// run up to the first blank or tab, accepted by the editor's validator, then `\s+\S+`. Neither
// pattern can match such an address, so this adds to what they accept and changes none of their
// verdicts; without it the loopback lines of every standard hosts file ("::1 localhost",
// "fe80::1%lo0 localhost") would fail the check while the editor shows them as valid.
template <typename Unit>
bool matchesCompressedIPv6Line(std::basic_string_view<Unit> s) {
  std::size_t length = 0;
  while (length < s.size() && s[length] != ' ' && s[length] != '\t') ++length;
  if (length == s.size()) return false;
  const std::u16string address(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(length));
  if (address.find(u"::") == std::u16string::npos) return false;
  IP validator{address};
  validator.setRange({0, length});
  return validator.isValid() && blankThenWord(s, length) != kNoMatch;
}

template <typename Unit>
std::basic_string_view<Unit> trimmed(std::basic_string_view<Unit> s) {
  std::size_t begin = 0, end = s.size();
  while (begin < end && Line<Unit>::isSpace(s[begin])) ++begin;
  while (end > begin && Line<Unit>::isSpace(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

template <typename Unit>
std::size_t matchEnd(std::basic_string_view<Unit> line) {
  std::size_t end = matchIPv4Line(line);
  return end != kNoMatch ? end : matchIPv6Line(line);
}

// The patterns see only as many units as the trimmed line has user-perceived characters. Every
// unit before the last one of the shortest match is an address character or a blank, each of
// which starts a character of its own; so is the last one unless it can extend the blank before
// it (nothing below U+0300 can). Only then does the window need counting.
bool matchFitsWindow(std::u16string_view line, std::size_t end) {
  if (line[end - 1] < 0x300) return true;
  return foundation::composedCharacterCount(line) >= end;
}

}  // namespace

bool SyntaxRules::isValidLine(std::string_view line) {
  // ASCII lines (nearly every line of a hosts file) are judged on their bytes: each byte is one
  // unit and one user-perceived character ("\r\n" cannot occur inside a line).
  if (foundation::isASCII(line)) {
    auto t = trimmed(line);
    return t.empty() || t.front() == '#' || matchEnd(t) != kNoMatch || matchesCompressedIPv6Line(t);
  }
  std::u16string units = foundation::utf16(line);
  auto t = trimmed(std::u16string_view(units));
  if (t.empty() || t.front() == '#') return true;
  std::size_t end = matchEnd(t);
  if (end != kNoMatch) return matchFitsWindow(t, end);
  return matchesCompressedIPv6Line(t);
}

bool SyntaxRules::isValidSyntax(std::string_view contents) {
  std::size_t start = 0;
  while (true) {
    std::size_t end = contents.find('\n', start);
    if (!isValidLine(contents.substr(start, end == std::string_view::npos ? end : end - start))) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool SyntaxRules::isValidSyntax(const std::optional<std::string>& contents) {
  return !contents || isValidSyntax(std::string_view(*contents));
}
