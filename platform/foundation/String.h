#pragma once
// String functions give std::string (UTF-8) the platform's string semantics: lengths, indexes and
// ranges count UTF-16 units, user-perceived characters are grapheme clusters ("\r\n" is one),
// character sets, case mapping by Unicode rules with no locale tailoring, splitting, trimming and
// printf-style formatting with "%@" for objects. Text that is all ASCII takes a fast path that
// never leaves the bytes; anything else goes through ICU.
//
// Every function is pure and safe to call from any thread. Invalid UTF-8 never fails: each bad
// byte sequence reads as U+FFFD (the replacement character), one UTF-16 unit.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/foundation/CharacterSet.h"
#include "platform/foundation/Value.h"

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
// The number of leading bytes below 0x80 (text.size() for ASCII text). Reads eight bytes at a
// time, so scanning mostly-ASCII text for its first other byte costs little.
std::size_t asciiPrefixLength(std::string_view text);

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

// ---- Searching -------------------------------------------------------------------------------

// Search options, combinable with "|".
using StringCompareOptions = unsigned;
inline constexpr StringCompareOptions CaseInsensitiveSearch = 1;  // simple Unicode case folding
inline constexpr StringCompareOptions LiteralSearch = 2;          // accepted; every search is literal
inline constexpr StringCompareOptions BackwardsSearch = 4;        // the last occurrence
inline constexpr StringCompareOptions AnchoredSearch = 8;  // only at the start (end when backwards)

// The range, in UTF-16 units of `text`, of the first (or last, with BackwardsSearch) occurrence of
// `needle` inside `searchRange` (clipped to the text); kNotFoundRange when there is none or when
// the needle is empty. Comparison is unit by unit after optional case folding: canonically
// equivalent but differently composed texts do not match.
Range rangeOfString(std::string_view text, std::string_view needle, StringCompareOptions options,
                    Range searchRange);
Range rangeOfString(std::string_view text, std::string_view needle, StringCompareOptions options = 0);
// Whether `needle` occurs in `text` (byte-exact). An empty needle is never contained.
bool containsString(std::string_view text, std::string_view needle);

// Whether `text` starts (ends) with `prefix` (`suffix`). As on the platform, an empty prefix or
// suffix gives false.
bool hasPrefix(std::string_view text, std::string_view prefix);
bool hasSuffix(std::string_view text, std::string_view suffix);

// ---- User-perceived characters ---------------------------------------------------------------

// The number of grapheme clusters ("e" plus a combining accent is one; "\r\n" is one; a flag or a
// family emoji is one).
std::size_t composedCharacterCount(std::string_view text);
std::size_t composedCharacterCount(std::u16string_view text);
// The range of the grapheme cluster that holds the unit at `index`; {length, 0} when `index` is at
// or past the end.
Range rangeOfComposedCharacterSequence(std::string_view text, std::size_t index);
Range rangeOfComposedCharacterSequence(std::u16string_view text, std::size_t index);
// `range` (clipped to the text) widened at both ends to whole grapheme clusters.
Range rangeOfComposedCharacterSequencesForRange(std::string_view text, Range range);
Range rangeOfComposedCharacterSequencesForRange(std::u16string_view text, Range range);

// ---- Lines, splitting and trimming -----------------------------------------------------------

// Calls `block` with each line of `text`, without its terminator, in order. Lines end at "\n",
// "\r", "\r\n", U+0085, U+2028 or U+2029; a terminator at the very end does not start another
// line, and the empty text has no lines. Setting `stop` to true ends the enumeration. The views
// point into `text`.
void enumerateLines(std::string_view text,
                    const std::function<void(std::string_view line, bool& stop)>& block);

// `text` without the leading and trailing code points that are members of `set`.
std::string trim(std::string_view text,
                 const CharacterSet& set = CharacterSet::whitespaceAndNewline());

// The pieces of `text` between occurrences of `separator`: "a,,b" gives "a", "", "b"; the empty text
// gives one empty piece; an empty separator gives the whole text as the only piece.
std::vector<std::string> componentsSeparatedByString(std::string_view text,
                                                     std::string_view separator);
// The pieces of `text` between code points that are members of `set`; adjacent members give
// empty pieces, as with componentsSeparatedByString.
std::vector<std::string> componentsSeparatedByCharactersInSet(std::string_view text,
                                                              const CharacterSet& set);

// ---- Case --------------------------------------------------------------------------------------

// Full Unicode case mapping with no locale tailoring ("ß" upper-cases to "SS", "İ" lower-cases
// to "i" plus a combining dot).
std::string lowercase(std::string_view text);
std::string uppercase(std::string_view text);
// Each word title-cased: its first character in title case and the rest in lower case. Words are
// the runs between white space and line ends.
std::string capitalized(std::string_view text);

// The platform's comparison results.
enum ComparisonResult : int { OrderedAscending = -1, OrderedSame = 0, OrderedDescending = 1 };
// Compares by UTF-16 units.
ComparisonResult compare(std::string_view a, std::string_view b);
// Compares by UTF-16 units after full Unicode case folding.
ComparisonResult caseInsensitiveCompare(std::string_view a, std::string_view b);

// `text` run through the ICU transform `transform` (for example
// "Any-Latin; Latin-ASCII; [:^ASCII:] Remove"), in reverse when asked. nullopt when the transform
// is unknown or fails, so callers can keep the original text.
std::optional<std::string> applyingTransform(std::string_view text, std::string_view transform,
                                             bool reverse = false);

// ---- Formatting --------------------------------------------------------------------------------

template <typename T>
concept Describable = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};

// One argument of stringWithFormat, captured by value so that formatting never reads past what
// the caller gave. Built implicitly from numbers, characters, texts, Values, describable objects,
// pointers, shared pointers and optionals; a null pointer or an empty optional is nil.
class FormatArgument {
 public:
  enum class Kind { Nil, Signed, Unsigned, Double, Text, Text16, Pointer };

  FormatArgument(std::nullptr_t) {}
  template <typename T>
    requires std::integral<T>
  FormatArgument(T v) {
    if constexpr (std::is_signed_v<T>) {
      setSigned(static_cast<std::int64_t>(v));
    } else {
      setUnsigned(static_cast<std::uint64_t>(v));
    }
  }
  template <typename T>
    requires std::is_enum_v<T>
  FormatArgument(T v) : FormatArgument(static_cast<std::underlying_type_t<T>>(v)) {}
  template <typename T>
    requires std::floating_point<T>
  FormatArgument(T v) { setDouble(static_cast<double>(v)); }
  FormatArgument(const char* s);
  FormatArgument(char* s) : FormatArgument(static_cast<const char*>(s)) {}
  FormatArgument(const std::string& s);
  FormatArgument(std::string_view s);
  FormatArgument(const char16_t* s);
  FormatArgument(const std::u16string& s);
  FormatArgument(std::u16string_view s);
  FormatArgument(const Value& v);
  template <typename T>
    requires Describable<T> && (!std::is_same_v<T, Value>)
  FormatArgument(const T& object) { setText(object.description()); }
  template <typename T>
  FormatArgument(const std::shared_ptr<T>& p) : FormatArgument(p.get()) {}
  template <typename T>
  FormatArgument(const std::optional<T>& o) {
    if (o) *this = FormatArgument(*o);
  }
  template <typename T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char> &&
             !std::is_same_v<std::remove_cv_t<T>, char16_t>)
  FormatArgument(T* p) {
    if (p == nullptr) return;
    if constexpr (Describable<T>) {
      setText(p->description());
    } else {
      kind_ = Kind::Pointer;
    }
    pointer_ = reinterpret_cast<std::uintptr_t>(p);
  }

  Kind kind() const { return kind_; }
  bool isNil() const { return kind_ == Kind::Nil; }
  // The readings each conversion takes; every kind answers every reading without failing.
  std::int64_t signedValue() const;
  std::uint64_t unsignedValue() const;
  double doubleValue() const;
  std::string text() const;            // "%@" and "%s": nil gives "(null)"
  std::u16string text16() const;       // "%S"
  std::uintptr_t pointerValue() const { return pointer_; }

 private:
  void setSigned(std::int64_t v);
  void setUnsigned(std::uint64_t v);
  void setDouble(double v);
  void setText(std::string s);

  Kind kind_ = Kind::Nil;
  std::int64_t signed_ = 0;
  std::uint64_t unsigned_ = 0;
  double double_ = 0;
  std::string text_;
  std::u16string text16_;
  std::uintptr_t pointer_ = 0;
};

// printf-style formatting over captured arguments, as the platform formats strings. Supports the
// flags "-+ #0", widths and precisions (also "*"), positional arguments ("%2$@"), the length
// modifiers hh h l ll q j z t L, the conversions d i u o x X c C s S p e E f F g G a A and "%%",
// and "%@" for the description of an object (a nil object gives "(null)"; a string gives itself).
// Integer conversions take the width their length modifier names, as printf would. A missing
// argument reads as nil or 0; "%n" writes nothing; an unknown conversion is copied as it stands.
// Numbers are written in the C locale whatever the process locale is. Never fails.
std::string formatWithArguments(std::string_view format, const std::vector<FormatArgument>& args);

template <typename... Args>
std::string stringWithFormat(std::string_view format, const Args&... args) {
  return formatWithArguments(format, std::vector<FormatArgument>{FormatArgument(args)...});
}

}  // namespace foundation
