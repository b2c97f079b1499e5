#include "hostfiles/StringExtended.h"

#include "platform/foundation/CharacterSet.h"
#include "platform/foundation/String.h"

namespace {

bool isLowerHex(char16_t u) { return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f'); }
bool isAnyHex(char16_t u) { return isLowerHex(u) || (u >= 'A' && u <= 'F'); }

bool allASCII(std::u16string_view text) {
  for (char16_t u : text) {
    if (u >= 0x80) return false;
  }
  return true;
}

const foundation::CharacterSet& decimalDigits() {
  static const foundation::CharacterSet set = foundation::CharacterSet::decimalDigit();
  return set;
}

}  // namespace

bool StringExtended::holdsIntegerValue(std::u16string_view text) {
  if (text.empty()) return false;
  for (char16_t u : text) {
    if (!decimalDigits().characterIsMember(u)) return false;
  }
  return true;
}

bool StringExtended::holdsIntegerValue(std::string_view text) {
  if (foundation::isASCII(text)) {
    if (text.empty()) return false;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
    }
    return true;
  }
  return holdsIntegerValue(foundation::utf16(text));
}

bool StringExtended::holdsHexadecimalValue(std::u16string_view text) {
  // ASCII lower-cases unit for unit, so the test can be made on the original units.
  if (allASCII(text)) {
    for (char16_t u : text) {
      if (!isAnyHex(u)) return false;
    }
    return true;
  }
  // Full case mapping may change the length ("İ" becomes two units), so the walk over the
  // original's positions must stop where the copy ends instead of reading past it.
  std::u16string lowered = foundation::utf16(foundation::lowercase(foundation::utf8(text)));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i >= lowered.size() || !isLowerHex(lowered[i])) return false;
  }
  return true;
}

bool StringExtended::holdsHexadecimalValue(std::string_view text) {
  if (foundation::isASCII(text)) {
    for (char c : text) {
      if (!isAnyHex(static_cast<char16_t>(c))) return false;
    }
    return true;
  }
  return holdsHexadecimalValue(foundation::utf16(text));
}

std::string StringExtended::trim(std::string_view text) {
  return foundation::trim(text, foundation::CharacterSet::whitespaceAndNewline());
}
