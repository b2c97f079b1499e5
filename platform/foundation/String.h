#pragma once
// String functions give std::string (UTF-8) the platform's string semantics: lengths, indexes and
// ranges count UTF-16 units, user-perceived characters are grapheme clusters ("\r\n" is one),
// character sets, case mapping by Unicode rules with no locale tailoring, splitting, trimming and
// printf-style formatting with "%@" for objects. Text that is all ASCII takes a fast path that
// never leaves the bytes; anything else goes through ICU.
//
// Every function is pure and safe to call from any thread. Invalid UTF-8 never fails: each bad
// byte sequence reads as U+FFFD (the replacement character), one UTF-16 unit.
#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/CharacterSet.h"

namespace foundation {

// The platform's "not found" location.
inline constexpr std::size_t NotFound =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

// A span of UTF-16 units: `location` is the first unit, `length` the number of units.
struct Range {
  std::size_t location = 0;
  std::size_t length = 0;

  std::size_t end() const { return location + length; }
  bool found() const { return location != NotFound; }
  bool contains(std::size_t index) const { return index >= location && index < end(); }
  bool operator==(const Range&) const = default;
};

// The range answered when nothing is found: {NotFound, 0}.
inline constexpr Range kNotFoundRange{NotFound, 0};

// Whether every byte is below 0x80.
bool isASCII(std::string_view text);

// UTF-8 to UTF-16. Invalid byte sequences become U+FFFD.
std::u16string utf16(std::string_view utf8);
// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string utf8(std::u16string_view utf16);

// The length in UTF-16 units.
std::size_t length16(std::string_view text);

// The UTF-16 units in `range`, as UTF-8. The range is clipped to the text, so a range past the
// end gives the part that exists (or ""). A range that cuts a surrogate pair leaves a lone
// surrogate, which converts to U+FFFD.
std::string substring16(std::string_view text, Range range);
// The units from `index` to the end, clipped like substring16.
std::string substringFrom16(std::string_view text, std::size_t index);
// The first `index` units, clipped like substring16.
std::string substringTo16(std::string_view text, std::size_t index);

}  // namespace foundation
