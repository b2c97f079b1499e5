#include "platform/foundation/String.h"

#include <locale.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utrans.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace foundation {

std::size_t asciiPrefixLength(std::string_view text) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t i = 0;
  for (std::uint64_t word; i + sizeof word <= text.size(); i += sizeof word) {
    std::memcpy(&word, text.data() + i, sizeof word);
    if (word & kHighBits) break;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

bool isASCII(std::string_view text) { return asciiPrefixLength(text) == text.size(); }

std::u16string utf16(std::string_view utf8Text) {
  std::u16string out;
  out.reserve(utf8Text.size());
  if (isASCII(utf8Text)) {
    for (char c : utf8Text) out.push_back(static_cast<char16_t>(c));
    return out;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8Text.data());
  const auto length = static_cast<int32_t>(utf8Text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    if (U_IS_BMP(c)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  return out;
}

std::string utf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  const auto length = static_cast<int32_t>(units.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U16_NEXT_OR_FFFD(units.data(), i, length, c);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    uint8_t buffer[4];
    int32_t n = 0;
    // c is a valid scalar value here: unpaired surrogates were already replaced.
    U8_APPEND_UNSAFE(buffer, n, c);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
  return out;
}

std::size_t length16(std::string_view text) {
  if (isASCII(text)) return text.size();
  std::size_t count = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    count += U16_LENGTH(c);
  }
  return count;
}

namespace {

Range clip(Range range, std::size_t length) {
  const std::size_t location = std::min(range.location, length);
  return Range{location, std::min(range.length, length - location)};
}

}  // namespace

std::string substring16(std::string_view text, Range range) {
  if (isASCII(text)) {
    const Range r = clip(range, text.size());
    return std::string(text.substr(r.location, r.length));
  }
  const std::u16string units = utf16(text);
  const Range r = clip(range, units.size());
  return utf8(std::u16string_view(units).substr(r.location, r.length));
}

std::string substringFrom16(std::string_view text, std::size_t index) {
  return substring16(text, Range{index, NotFound});
}

std::string substringTo16(std::string_view text, std::size_t index) {
  return substring16(text, Range{0, index});
}

// ---- Searching -------------------------------------------------------------------------------

namespace {

UChar32 fold(UChar32 c, bool caseInsensitive) {
  return caseInsensitive ? u_foldCase(c, U_FOLD_CASE_DEFAULT) : c;
}

// The number of units of `text` from `at` that match all of `needle`, or 0 when it does not match
// there. Code points are compared after optional simple folding, so the matched length in the
// text can differ from the needle's length.
std::size_t matchLengthAt(std::u16string_view text, std::size_t at, std::size_t limit,
                          std::u16string_view needle, bool caseInsensitive) {
  const auto* t = text.data();
  const auto* n = needle.data();
  const auto tEnd = static_cast<int32_t>(limit);
  const auto nEnd = static_cast<int32_t>(needle.size());
  auto i = static_cast<int32_t>(at);
  int32_t j = 0;
  while (j < nEnd) {
    if (i >= tEnd) return 0;
    UChar32 a, b;
    U16_NEXT(t, i, tEnd, a);
    U16_NEXT(n, j, nEnd, b);
    if (fold(a, caseInsensitive) != fold(b, caseInsensitive)) return 0;
  }
  return static_cast<std::size_t>(i) - at;
}

Range clipRange(Range range, std::size_t length) {
  const std::size_t location = std::min(range.location, length);
  return Range{location, std::min(range.length, length - location)};
}

}  // namespace

Range rangeOfString(std::string_view text, std::string_view needle, StringCompareOptions options,
                    Range searchRange) {
  if (needle.empty()) return kNotFoundRange;
  if (options == 0 && isASCII(text)) {
    // Byte offsets are unit offsets here, and a byte search cannot match inside a character.
    const Range r = clipRange(searchRange, text.size());
    const std::size_t at = text.substr(0, r.end()).find(needle, r.location);
    return at == std::string_view::npos ? kNotFoundRange : Range{at, needle.size()};
  }
  const std::u16string t = utf16(text);
  const std::u16string n = utf16(needle);
  const Range r = clipRange(searchRange, t.size());
  const bool ci = (options & CaseInsensitiveSearch) != 0;
  const bool backwards = (options & BackwardsSearch) != 0;
  const bool anchored = (options & AnchoredSearch) != 0;
  const std::size_t limit = r.end();
  if (!backwards) {
    for (std::size_t at = r.location; at < limit; ++at) {
      if (const std::size_t len = matchLengthAt(t, at, limit, n, ci); len > 0) return {at, len};
      if (anchored) break;
    }
    return kNotFoundRange;
  }
  for (std::size_t at = limit; at-- > r.location;) {
    const std::size_t len = matchLengthAt(t, at, limit, n, ci);
    if (len > 0 && (!anchored || at + len == limit)) return {at, len};
    // Anchored at the end: a match must end exactly at the limit; keep looking only while a
    // start further left could still reach it (folding can change lengths).
  }
  return kNotFoundRange;
}

Range rangeOfString(std::string_view text, std::string_view needle, StringCompareOptions options) {
  return rangeOfString(text, needle, options, Range{0, NotFound});
}

bool containsString(std::string_view text, std::string_view needle) {
  return !needle.empty() && text.find(needle) != std::string_view::npos;
}

bool hasPrefix(std::string_view text, std::string_view prefix) {
  return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

bool hasSuffix(std::string_view text, std::string_view suffix) {
  return !suffix.empty() && text.size() >= suffix.size() &&
         text.substr(text.size() - suffix.size()) == suffix;
}

// ---- User-perceived characters ---------------------------------------------------------------

namespace {

// A character break iterator over `text`, closed on scope exit. Null when ICU cannot make one,
// which callers treat as "every unit is its own character".
class CharacterBreaks {
 public:
  explicit CharacterBreaks(std::u16string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    iterator_ = ubrk_open(UBRK_CHARACTER, "", text.data(), static_cast<int32_t>(text.size()),
                          &status);
    if (U_FAILURE(status)) {
      if (iterator_ != nullptr) ubrk_close(iterator_);
      iterator_ = nullptr;
    }
  }
  ~CharacterBreaks() {
    if (iterator_ != nullptr) ubrk_close(iterator_);
  }
  CharacterBreaks(const CharacterBreaks&) = delete;
  CharacterBreaks& operator=(const CharacterBreaks&) = delete;

  UBreakIterator* get() const { return iterator_; }

 private:
  UBreakIterator* iterator_ = nullptr;
};

bool isASCII16(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

}  // namespace

std::size_t composedCharacterCount(std::u16string_view text) {
  if (isASCII16(text)) {
    std::size_t count = text.size();
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == u'\n' && text[i - 1] == u'\r') --count;
    }
    return count;
  }
  CharacterBreaks breaks(text);
  if (breaks.get() == nullptr) return text.size();
  std::size_t count = 0;
  while (ubrk_next(breaks.get()) != UBRK_DONE) ++count;
  return count;
}

std::size_t composedCharacterCount(std::string_view text) {
  if (isASCII(text)) {
    std::size_t count = text.size();
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '\n' && text[i - 1] == '\r') --count;
    }
    return count;
  }
  return composedCharacterCount(std::u16string_view(utf16(text)));
}

Range rangeOfComposedCharacterSequencesForRange(std::u16string_view text, Range range) {
  const Range r = clipRange(range, text.size());
  std::size_t start = r.location;
  std::size_t end = r.end();
  if (isASCII16(text)) {
    const auto insideCRLF = [&](std::size_t i) {
      return i > 0 && i < text.size() && text[i] == u'\n' && text[i - 1] == u'\r';
    };
    if (insideCRLF(start)) --start;
    if (insideCRLF(end)) ++end;
    return {start, end - start};
  }
  CharacterBreaks breaks(text);
  if (breaks.get() == nullptr) return r;
  auto* it = breaks.get();
  // ICU moves an offset inside a surrogate pair back to the pair's start before it looks, so ask
  // for the last boundary before start + 1, which is the last one at or before start.
  if (!ubrk_isBoundary(it, static_cast<int32_t>(start))) {
    start = static_cast<std::size_t>(ubrk_preceding(it, static_cast<int32_t>(start + 1)));
  }
  if (!ubrk_isBoundary(it, static_cast<int32_t>(end))) {
    end = static_cast<std::size_t>(ubrk_following(it, static_cast<int32_t>(end)));
  }
  return {start, end - start};
}

Range rangeOfComposedCharacterSequencesForRange(std::string_view text, Range range) {
  return rangeOfComposedCharacterSequencesForRange(std::u16string_view(utf16(text)), range);
}

Range rangeOfComposedCharacterSequence(std::u16string_view text, std::size_t index) {
  if (index >= text.size()) return {text.size(), 0};
  return rangeOfComposedCharacterSequencesForRange(text, Range{index, 1});
}

Range rangeOfComposedCharacterSequence(std::string_view text, std::size_t index) {
  return rangeOfComposedCharacterSequence(std::u16string_view(utf16(text)), index);
}

// ---- Lines, splitting and trimming -----------------------------------------------------------

namespace {

// The byte length of the line terminator at `i`, or 0 when there is none.
std::size_t terminatorLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const char c = text[i];
  if (c == '\n') return 1;
  if (c == '\r') return (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
  if (byte(i) == 0xC2 && i + 1 < text.size() && byte(i + 1) == 0x85) return 2;  // U+0085
  if (byte(i) == 0xE2 && i + 2 < text.size() && byte(i + 1) == 0x80 &&
      (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9)) {
    return 3;  // U+2028, U+2029
  }
  return 0;
}

// Decodes the code point at byte `i` and advances `i`; bad bytes read as U+FFFD.
UChar32 nextCodePoint(std::string_view text, int32_t& i) {
  UChar32 c;
  U8_NEXT_OR_FFFD(reinterpret_cast<const uint8_t*>(text.data()), i,
                  static_cast<int32_t>(text.size()), c);
  return c;
}

}  // namespace

void enumerateLines(std::string_view text,
                    const std::function<void(std::string_view line, bool& stop)>& block) {
  std::size_t start = 0;
  std::size_t i = 0;
  bool stop = false;
  while (i < text.size()) {
    const std::size_t term = terminatorLength(text, i);
    if (term == 0) {
      ++i;
      continue;
    }
    block(text.substr(start, i - start), stop);
    if (stop) return;
    i += term;
    start = i;
  }
  if (start < text.size()) block(text.substr(start), stop);
}

std::string trim(std::string_view text, const CharacterSet& set) {
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    if (!set.longCharacterIsMember(static_cast<char32_t>(nextCodePoint(text, next)))) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV_OR_FFFD(reinterpret_cast<const uint8_t*>(text.data()), begin, previous, c);
    if (!set.longCharacterIsMember(static_cast<char32_t>(c))) break;
    end = previous;
  }
  return std::string(text.substr(static_cast<std::size_t>(begin),
                                 static_cast<std::size_t>(end - begin)));
}

std::vector<std::string> componentsSeparatedByString(std::string_view text,
                                                     std::string_view separator) {
  if (separator.empty()) return {std::string(text)};
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at = text.find(separator); at != std::string_view::npos;
       at = text.find(separator, start)) {
    parts.emplace_back(text.substr(start, at - start));
    start = at + separator.size();
  }
  parts.emplace_back(text.substr(start));
  return parts;
}

std::vector<std::string> componentsSeparatedByCharactersInSet(std::string_view text,
                                                              const CharacterSet& set) {
  std::vector<std::string> parts;
  const auto length = static_cast<int32_t>(text.size());
  int32_t start = 0;
  int32_t i = 0;
  while (i < length) {
    const int32_t at = i;
    const UChar32 c = nextCodePoint(text, i);
    if (!set.longCharacterIsMember(static_cast<char32_t>(c))) continue;
    parts.emplace_back(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start)));
    start = i;
  }
  parts.emplace_back(text.substr(static_cast<std::size_t>(start)));
  return parts;
}

// ---- Case --------------------------------------------------------------------------------------

namespace {

using CaseFunction = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

// Runs an ICU case mapping with the root locale, growing the buffer once when the mapping
// lengthens the text. On failure the text is returned unchanged.
std::u16string mapCase(std::u16string_view source, CaseFunction function) {
  std::u16string out(source.size() + 8, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = function(out.data(), static_cast<int32_t>(out.size()), source.data(),
                               static_cast<int32_t>(source.size()), "", &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n), u'\0');
      continue;
    }
    if (U_FAILURE(status)) break;
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  return std::u16string(source);
}

int32_t toTitleWholeWord(UChar* dest, int32_t capacity, const UChar* src, int32_t length,
                         const char* locale, UErrorCode* status) {
  return u_strToTitle(dest, capacity, src, length, nullptr, locale, status);
}

std::string asciiMap(std::string_view text, char (*map)(char)) {
  std::string out(text);
  for (char& c : out) c = map(c);
  return out;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

ComparisonResult sign(int value) {
  return value < 0 ? OrderedAscending : (value > 0 ? OrderedDescending : OrderedSame);
}

}  // namespace

std::string lowercase(std::string_view text) {
  if (isASCII(text)) return asciiMap(text, asciiLower);
  return utf8(mapCase(utf16(text), u_strToLower));
}

std::string uppercase(std::string_view text) {
  if (isASCII(text)) return asciiMap(text, asciiUpper);
  return utf8(mapCase(utf16(text), u_strToUpper));
}

std::string capitalized(std::string_view text) {
  const CharacterSet separators = CharacterSet::whitespaceAndNewline();
  std::string out;
  out.reserve(text.size());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    // Copy separators as they are, then title-case one word.
    int32_t next = i;
    if (separators.longCharacterIsMember(static_cast<char32_t>(nextCodePoint(text, next)))) {
      out.append(text.substr(static_cast<std::size_t>(i), static_cast<std::size_t>(next - i)));
      i = next;
      continue;
    }
    const int32_t wordStart = i;
    while (i < length) {
      next = i;
      if (separators.longCharacterIsMember(static_cast<char32_t>(nextCodePoint(text, next)))) break;
      i = next;
    }
    const std::string_view word =
        text.substr(static_cast<std::size_t>(wordStart), static_cast<std::size_t>(i - wordStart));
    if (isASCII(word)) {
      std::string w = asciiMap(word, asciiLower);
      w[0] = asciiUpper(w[0]);
      out += w;
      continue;
    }
    // Title-case the first code point and lower-case the rest, each with full mappings.
    int32_t firstEnd = 0;
    nextCodePoint(word, firstEnd);
    const std::u16string head = utf16(word.substr(0, static_cast<std::size_t>(firstEnd)));
    out += utf8(mapCase(head, toTitleWholeWord));
    out += utf8(mapCase(utf16(word.substr(static_cast<std::size_t>(firstEnd))), u_strToLower));
  }
  return out;
}

ComparisonResult compare(std::string_view a, std::string_view b) {
  if (isASCII(a) && isASCII(b)) return sign(a.compare(b));
  return sign(utf16(a).compare(utf16(b)));
}

ComparisonResult caseInsensitiveCompare(std::string_view a, std::string_view b) {
  if (isASCII(a) && isASCII(b)) {
    return sign(asciiMap(a, asciiLower).compare(asciiMap(b, asciiLower)));
  }
  const std::u16string ua = utf16(a);
  const std::u16string ub = utf16(b);
  UErrorCode status = U_ZERO_ERROR;
  const int32_t result =
      u_strCaseCompare(ua.data(), static_cast<int32_t>(ua.size()), ub.data(),
                       static_cast<int32_t>(ub.size()), U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return sign(ua.compare(ub));
  return sign(result);
}

std::optional<std::string> applyingTransform(std::string_view text, std::string_view transform,
                                             bool reverse) {
  const std::u16string id = utf16(transform);
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  UTransliterator* transliterator =
      utrans_openU(id.data(), static_cast<int32_t>(id.size()),
                   reverse ? UTRANS_REVERSE : UTRANS_FORWARD, nullptr, 0, &parseError, &status);
  if (U_FAILURE(status) || transliterator == nullptr) {
    if (transliterator != nullptr) utrans_close(transliterator);
    return std::nullopt;
  }
  const std::u16string source = utf16(text);
  std::optional<std::string> result;
  // The transform works in place; grow the buffer until the result fits.
  for (std::size_t capacity = source.size() * 2 + 16; capacity < (std::size_t{1} << 28);
       capacity *= 4) {
    std::u16string buffer = source;
    buffer.resize(capacity);
    auto length = static_cast<int32_t>(source.size());
    int32_t limit = length;
    status = U_ZERO_ERROR;
    utrans_transUChars(transliterator, buffer.data(), &length, static_cast<int32_t>(capacity), 0,
                       &limit, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) continue;
    if (U_SUCCESS(status)) result = utf8(std::u16string_view(buffer).substr(0, static_cast<std::size_t>(length)));
    break;
  }
  utrans_close(transliterator);
  return result;
}

// ---- Formatting --------------------------------------------------------------------------------

FormatArgument::FormatArgument(const char* s) {
  if (s != nullptr) setText(s);
}
FormatArgument::FormatArgument(const std::string& s) { setText(s); }
FormatArgument::FormatArgument(std::string_view s) { setText(std::string(s)); }
FormatArgument::FormatArgument(const char16_t* s) {
  if (s != nullptr) *this = FormatArgument(std::u16string_view(s));
}
FormatArgument::FormatArgument(const std::u16string& s) : FormatArgument(std::u16string_view(s)) {}
FormatArgument::FormatArgument(std::u16string_view s) {
  kind_ = Kind::Text16;
  text16_ = std::u16string(s);
  text_ = utf8(s);
}

FormatArgument::FormatArgument(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null:
      setText(v.description());
      return;
    case Value::Type::String:
      setText(v.stringValue());
      return;
    case Value::Type::Object:
      if (auto object = v.objectValue()) setText(object->description());
      return;
    case Value::Type::Double:
      setDouble(v.doubleValue());
      break;
    case Value::Type::UInt:
      setUnsigned(v.uintValue());
      break;
    case Value::Type::Bool:
    case Value::Type::Int:
      setSigned(v.intValue());
      break;
    default:
      setText(v.description());
      return;
  }
  // Numbers format as numbers under "%d" and "%f" and as their description under "%@".
  text_ = v.description();
}

void FormatArgument::setSigned(std::int64_t v) {
  kind_ = Kind::Signed;
  signed_ = v;
  unsigned_ = static_cast<std::uint64_t>(v);
  double_ = static_cast<double>(v);
  text_ = std::to_string(v);
}

void FormatArgument::setUnsigned(std::uint64_t v) {
  kind_ = Kind::Unsigned;
  unsigned_ = v;
  signed_ = static_cast<std::int64_t>(v);
  double_ = static_cast<double>(v);
  text_ = std::to_string(v);
}

void FormatArgument::setDouble(double v) {
  kind_ = Kind::Double;
  double_ = v;
  // Saturate rather than convert out of range, which would be undefined.
  if (v != v) {
    signed_ = 0;
  } else if (v >= 9.2233720368547758e18) {
    signed_ = std::numeric_limits<std::int64_t>::max();
  } else if (v <= -9.2233720368547758e18) {
    signed_ = std::numeric_limits<std::int64_t>::min();
  } else {
    signed_ = static_cast<std::int64_t>(v);
  }
  unsigned_ = static_cast<std::uint64_t>(signed_);
  text_ = Value(v).description();
}

void FormatArgument::setText(std::string s) {
  kind_ = Kind::Text;
  text_ = std::move(s);
}

std::int64_t FormatArgument::signedValue() const {
  return kind_ == Kind::Pointer ? static_cast<std::int64_t>(pointer_) : signed_;
}
std::uint64_t FormatArgument::unsignedValue() const {
  return kind_ == Kind::Pointer ? static_cast<std::uint64_t>(pointer_) : unsigned_;
}
double FormatArgument::doubleValue() const { return double_; }

std::string FormatArgument::text() const {
  if (kind_ == Kind::Nil) return "(null)";
  if (kind_ == Kind::Pointer) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(pointer_));
    return buffer;
  }
  return text_;
}

std::u16string FormatArgument::text16() const {
  if (kind_ == Kind::Text16) return text16_;
  return utf16(text());
}

namespace {

// One parsed conversion: "%[n$][flags][width][.precision][length]conversion".
struct Conversion {
  std::string flags;
  int width = -1;
  int precision = -1;
  std::string length;
  char conversion = 0;
};

// Numbers are always written with the C locale's "." and no grouping, even when the application
// has set a process locale; a thread-local locale switch keeps other threads unaffected.
class CLocaleScope {
 public:
  CLocaleScope() {
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (cLocale != static_cast<locale_t>(0)) previous_ = uselocale(cLocale);
  }
  ~CLocaleScope() {
    if (previous_ != static_cast<locale_t>(0)) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(0);
};

template <typename... T>
std::string cFormat(const std::string& directive, T... values) {
  const int n = std::snprintf(nullptr, 0, directive.c_str(), values...);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), directive.c_str(), values...);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string prefixSpec(const Conversion& c) {
  std::string directive = "%" + c.flags;
  if (c.width >= 0) directive += std::to_string(c.width);
  if (c.precision >= 0) directive += "." + std::to_string(c.precision);
  return directive;
}

std::int64_t narrowSigned(std::int64_t v, const std::string& length) {
  if (length == "hh") return static_cast<signed char>(v);
  if (length == "h") return static_cast<short>(v);
  if (length.empty()) return static_cast<int>(v);
  return v;
}

std::uint64_t narrowUnsigned(std::uint64_t v, const std::string& length) {
  if (length == "hh") return static_cast<unsigned char>(v);
  if (length == "h") return static_cast<unsigned short>(v);
  if (length.empty()) return static_cast<unsigned>(v);
  return v;
}

// Pads `units` to the width, counting UTF-16 units, on the right with the "-" flag.
std::u16string pad16(std::u16string units, const Conversion& c) {
  if (c.width < 0 || units.size() >= static_cast<std::size_t>(c.width)) return units;
  const std::u16string fill(static_cast<std::size_t>(c.width) - units.size(), u' ');
  const bool left = c.flags.find('-') != std::string::npos;
  return left ? units + fill : fill + units;
}

std::string formatOne(const Conversion& c, const FormatArgument& arg) {
  switch (c.conversion) {
    case 'd':
    case 'i':
      return cFormat(prefixSpec(c) + "lld",
                     static_cast<long long>(narrowSigned(arg.signedValue(), c.length)));
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      return cFormat(prefixSpec(c) + "ll" + c.conversion,
                     static_cast<unsigned long long>(narrowUnsigned(arg.unsignedValue(), c.length)));
    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
      return cFormat(prefixSpec(c) + c.conversion, arg.doubleValue());
    case 'c':
      if (c.length != "l") {
        return cFormat(prefixSpec(c) + "c", static_cast<int>(static_cast<unsigned char>(arg.signedValue())));
      }
      [[fallthrough]];
    case 'C': {
      // "%C" takes one UTF-16 unit, "%lc" a code point; anything unencodable reads as U+FFFD.
      auto code = static_cast<std::uint32_t>(arg.unsignedValue());
      if (c.conversion == 'C') code &= 0xFFFF;
      if (code > 0x10FFFF || U_IS_SURROGATE(code)) code = 0xFFFD;
      std::u16string unit;
      if (U_IS_BMP(code)) {
        unit.push_back(static_cast<char16_t>(code));
      } else {
        unit.push_back(static_cast<char16_t>(U16_LEAD(code)));
        unit.push_back(static_cast<char16_t>(U16_TRAIL(code)));
      }
      return utf8(pad16(unit, c));
    }
    case 's':
      if (c.length != "l") return cFormat(prefixSpec(c) + "s", arg.text().c_str());
      [[fallthrough]];
    case 'S': {
      std::u16string units = arg.text16();
      if (c.precision >= 0 && units.size() > static_cast<std::size_t>(c.precision)) {
        units.resize(static_cast<std::size_t>(c.precision));
      }
      return utf8(pad16(std::move(units), c));
    }
    case '@':
      return utf8(pad16(utf16(arg.text()), c));
    case 'p':
      return utf8(pad16(utf16(cFormat("0x%llx", static_cast<unsigned long long>(arg.pointerValue()))), c));
    default:
      return {};
  }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool oneOf(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

// Reads a decimal number at `i`; -1 when there is none. Values are capped well below overflow.
int readNumber(std::string_view f, std::size_t& i) {
  if (i >= f.size() || !isDigit(f[i])) return -1;
  int n = 0;
  while (i < f.size() && isDigit(f[i])) {
    n = std::min(n * 10 + (f[i] - '0'), 1 << 20);
    ++i;
  }
  return n;
}

// Reads an optional "n$" argument position at `i`; returns the zero-based index or -1.
int readPosition(std::string_view f, std::size_t& i) {
  std::size_t j = i;
  const int n = readNumber(f, j);
  if (n > 0 && j < f.size() && f[j] == '$') {
    i = j + 1;
    return n - 1;
  }
  return -1;
}

class ArgumentCursor {
 public:
  explicit ArgumentCursor(const std::vector<FormatArgument>& args) : args_(args) {}
  const FormatArgument& take(int position) {
    const std::size_t index = position >= 0 ? static_cast<std::size_t>(position) : next_++;
    static const FormatArgument nil(nullptr);
    return index < args_.size() ? args_[index] : nil;
  }

 private:
  const std::vector<FormatArgument>& args_;
  std::size_t next_ = 0;
};

}  // namespace

std::string formatWithArguments(std::string_view format, const std::vector<FormatArgument>& args) {
  CLocaleScope cLocale;
  ArgumentCursor cursor(args);
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  std::size_t i = 0;
  while (i < format.size()) {
    const std::size_t percent = format.find('%', i);
    out.append(format.substr(i, percent == std::string_view::npos ? std::string_view::npos : percent - i));
    if (percent == std::string_view::npos) break;
    std::size_t j = percent + 1;
    if (j < format.size() && format[j] == '%') {
      out.push_back('%');
      i = j + 1;
      continue;
    }
    const int position = readPosition(format, j);
    Conversion c;
    // Flags, width and precision may come in any order before the length, as the platform's
    // parser allows ("%18#llx" is width 18 with the "#" flag).
    while (j < format.size()) {
      const char ch = format[j];
      if (oneOf(ch, "-+ #0'")) {
        if (ch != '\'' && c.flags.find(ch) == std::string::npos) c.flags.push_back(ch);
        ++j;  // grouping ("'") is accepted and not applied
      } else if (ch >= '1' && ch <= '9') {
        c.width = readNumber(format, j);
      } else if (ch == '*') {
        ++j;
        const long long w = cursor.take(readPosition(format, j)).signedValue();
        if (w < 0 && c.flags.find('-') == std::string::npos) c.flags.push_back('-');
        c.width = static_cast<int>(std::min<long long>(w < 0 ? -w : w, 1 << 20));
      } else if (ch == '.') {
        ++j;
        if (j < format.size() && format[j] == '*') {
          ++j;
          const long long p = cursor.take(readPosition(format, j)).signedValue();
          c.precision = p < 0 ? -1 : static_cast<int>(std::min<long long>(p, 1 << 20));
        } else {
          c.precision = std::max(readNumber(format, j), 0);
        }
      } else {
        break;
      }
    }
    while (j < format.size() && oneOf(format[j], "hlqLjzt")) {
      c.length.push_back(format[j] == 'q' ? 'l' : format[j]);
      ++j;
    }
    if (c.length == "ll" || c.length == "j" || c.length == "z" || c.length == "t") c.length = "ll";
    if (j >= format.size()) {
      out.append(format.substr(percent));  // a dangling conversion is copied as it stands
      break;
    }
    c.conversion = format[j];
    i = j + 1;
    if (!oneOf(c.conversion, "diuoxXeEfFgGaAcCsSp@")) {
      if (c.conversion == 'n') {
        cursor.take(position);  // consumes its argument, writes nothing
      } else {
        out.append(format.substr(percent, i - percent));
      }
      continue;
    }
    out += formatOne(c, cursor.take(position));
  }
  return out;
}

}  // namespace foundation
