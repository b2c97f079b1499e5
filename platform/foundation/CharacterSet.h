#pragma once
// CharacterSet stands in for the platform's character sets: immutable sets of Unicode code points
// with membership tests for a code point and for a single UTF-16 unit. The predefined sets follow
// the platform's definitions (for example decimalDigit is the Unicode Nd category, every script's
// digits). Sets are values that share one frozen ICU set, so copies are cheap and a set may be
// read from any number of threads at once. ASCII membership is answered from a bitmap.
#include <memory>
#include <string_view>

namespace foundation {

class CharacterSet {
 public:
  // The empty set.
  CharacterSet();

  // Tab and the Unicode space separators (category Zs).
  static CharacterSet whitespace();
  // whitespace() plus the line ends U+000A to U+000D, U+0085 and the line and paragraph separators.
  static CharacterSet whitespaceAndNewline();
  // U+000A to U+000D, U+0085, U+2028 and U+2029.
  static CharacterSet newline();
  // The Unicode decimal digits (category Nd) of every script, not only "0" to "9".
  static CharacterSet decimalDigit();
  // Letters and marks (categories L* and M*).
  static CharacterSet letters();
  // Letters, marks and numbers (categories L*, M* and N*).
  static CharacterSet alphanumeric();
  // Punctuation (categories P*).
  static CharacterSet punctuation();
  // The code points of a UTF-8 text; invalid bytes contribute U+FFFD.
  static CharacterSet withCharactersInString(std::string_view utf8);
  // The code points first..last inclusive; an empty set when first > last.
  static CharacterSet withRange(char32_t first, char32_t last);

  // The complement over all code points (surrogate code points included).
  CharacterSet inverted() const;
  // The union of this set and `other`.
  CharacterSet unionWith(const CharacterSet& other) const;

  // Whether the code point is in the set; values above U+10FFFF are never members.
  bool longCharacterIsMember(char32_t c) const;
  // Whether the UTF-16 unit, read as a code point on its own, is in the set. A lone surrogate
  // unit is a member only of sets that contain surrogate code points (such as inverted sets).
  bool characterIsMember(char16_t unit) const;
  // Shorthand for longCharacterIsMember.
  bool contains(char32_t c) const { return longCharacterIsMember(c); }

  struct Impl;

 private:
  explicit CharacterSet(std::shared_ptr<const Impl> impl);
  std::shared_ptr<const Impl> impl_;
};

}  // namespace foundation
