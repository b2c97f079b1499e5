#include "hostfiles/IP.h"

#include <optional>
#include <utility>
#include <vector>

#include "hostfiles/StringExtended.h"

namespace {

using foundation::Range;

// The pieces between non-overlapping occurrences of `separator`, read left to right; the empty
// text is one empty piece.
std::vector<std::u16string_view> split(std::u16string_view text, std::u16string_view separator) {
  std::vector<std::u16string_view> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t found = text.find(separator, start);
    if (found == std::u16string_view::npos) break;
    pieces.push_back(text.substr(start, found - start));
    start = found + separator.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// Version-4 parts take ASCII digits only: a part's value is computed from "0", which is
// meaningless for another script's digits (they would give values far above 255, or pass as
// small numbers that were never typed).
bool isVersion4Part(std::u16string_view part) {
  if (part.empty() || part.size() > 3) return false;
  for (char16_t u : part) {
    if (u < u'0' || u > u'9') return false;
  }
  if (part.size() < 3) return true;
  int value = (part[0] - u'0') * 100 + (part[1] - u'0') * 10 + (part[2] - u'0');
  return value <= 255;
}

}  // namespace

IP::IP(std::string_view contents) : contents_(foundation::utf16(contents)) {}

IP::IP(std::u16string contents) : contents_(std::move(contents)) {}

std::u16string_view IP::examined(Range range) const {
  std::u16string_view all(contents_);
  if (range.location >= all.size()) return {};
  return all.substr(range.location, range.length);
}

void IP::setRange(Range range) {
  isVersion4_ = false;
  isVersion6_ = false;
  Range invalid = invalidVersion4Range(range);
  if (!isVersion4_) invalid = invalidVersion6Range(range);
  invalidRange_ = invalid;
}

Range IP::invalidVersion4Range(Range range) {
  std::u16string_view s = examined(range);
  const Range whole{0, s.size()};
  if (s.size() < 6 || s.size() > 15) return whole;
  auto parts = split(s, u".");
  if (parts.size() != 4) return whole;
  for (auto part : parts) {
    if (!isVersion4Part(part)) return whole;
  }
  isVersion4_ = true;
  return Range{0, 0};
}

Range IP::invalidVersion6Range(Range range) {
  std::u16string_view s = examined(range);
  const Range whole{0, s.size()};
  if (s.size() >= 40) return whole;
  // A link-local loopback with a zone: the zone text is the interface's business.
  if (s.starts_with(u"fe80::1%")) {
    isVersion6_ = true;
    return Range{0, 0};
  }
  auto pieces = split(s, u"::");
  if (pieces.size() >= 3) return whole;

  const bool compressed = pieces.size() == 2;
  std::size_t index = 0;
  std::size_t offset = 0;  // follows the real text across ":" and "::"
  std::optional<Range> bad;
  for (auto piece : pieces) {
    for (auto group : split(piece, u":")) {
      if (index >= 7 && !(index == 7 && !compressed)) return whole;
      bool good = group.size() <= 4 && StringExtended::holdsHexadecimalValue(group);
      if (!good) {
        if (bad) return whole;
        bad = Range{offset, group.size()};
      }
      offset += group.size() + 1;
      ++index;
    }
    offset += 1;
  }
  if (index != 8 && !compressed) return whole;
  isVersion6_ = true;
  return bad.value_or(Range{0, 0});
}
