#include "platform/foundation/RegularExpression.h"

#include <unicode/uregex.h>

#include <algorithm>
#include <cstring>

namespace foundation {

namespace {

uint32_t icuFlags(RegularExpression::Options options) {
  uint32_t flags = 0;
  if (options & RegularExpression::CaseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
  if (options & RegularExpression::AllowCommentsAndWhitespace) flags |= UREGEX_COMMENTS;
  if (options & RegularExpression::IgnoreMetacharacters) flags |= UREGEX_LITERAL;
  if (options & RegularExpression::DotMatchesLineSeparators) flags |= UREGEX_DOTALL;
  if (options & RegularExpression::AnchorsMatchLines) flags |= UREGEX_MULTILINE;
  if (options & RegularExpression::UseUnixLineSeparators) flags |= UREGEX_UNIX_LINES;
  if (options & RegularExpression::UseUnicodeWordBoundaries) flags |= UREGEX_UWORD;
  return flags;
}

Error invalidPattern(const std::string& pattern) {
  Dictionary info;
  info.set("NSInvalidValue", Value(pattern));
  info.set(kLocalizedDescriptionKey,
           Value("The value \u201C" + pattern + "\u201D is invalid."));
  return Error(kCocoaErrorDomain, 2048, std::move(info));
}

// A per-search clone of the compiled pattern, closed on scope exit.
class Matcher {
 public:
  explicit Matcher(const URegularExpression* compiled) {
    UErrorCode status = U_ZERO_ERROR;
    regex_ = uregex_clone(compiled, &status);
    if (U_FAILURE(status)) close();
  }
  ~Matcher() { close(); }
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  URegularExpression* get() const { return regex_; }

 private:
  void close() {
    if (regex_ != nullptr) uregex_close(regex_);
    regex_ = nullptr;
  }
  URegularExpression* regex_ = nullptr;
};

Range clipToText(Range range, std::size_t length) {
  const std::size_t location = std::min(range.location, length);
  return Range{location, std::min(range.length, length - location)};
}

Range groupRange(URegularExpression* regex, int32_t group, UErrorCode& status) {
  const int64_t start = uregex_start64(regex, group, &status);
  const int64_t end = uregex_end64(regex, group, &status);
  if (U_FAILURE(status) || start < 0) return kNotFoundRange;
  return Range{static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)};
}

}  // namespace

RegularExpression::RegularExpression(std::string pattern, Options options,
                                     URegularExpression* compiled, std::size_t groups)
    : pattern_(std::move(pattern)), options_(options), compiled_(compiled), groups_(groups) {}

RegularExpression::~RegularExpression() { uregex_close(compiled_); }

std::shared_ptr<RegularExpression> RegularExpression::create(std::string_view pattern,
                                                             Options options, Error* error) {
  std::u16string source = utf16(pattern);
  uint32_t flags = icuFlags(options);
  // ICU refuses a zero-length pattern; an empty group is the same expression.
  if (source.empty()) {
    source = u"(?:)";
    flags &= ~static_cast<uint32_t>(UREGEX_LITERAL);
  }
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  URegularExpression* compiled = uregex_open(source.data(), static_cast<int32_t>(source.size()),
                                             flags, &parseError, &status);
  int32_t groups = 0;
  if (U_SUCCESS(status)) groups = uregex_groupCount(compiled, &status);
  if (U_FAILURE(status) || compiled == nullptr) {
    if (compiled != nullptr) uregex_close(compiled);
    if (error != nullptr) *error = invalidPattern(std::string(pattern));
    return nullptr;
  }
  return std::shared_ptr<RegularExpression>(new RegularExpression(
      std::string(pattern), options, compiled, static_cast<std::size_t>(groups)));
}

void RegularExpression::enumerateMatches(
    std::u16string_view text, MatchingOptions options, Range range,
    const std::function<void(const TextCheckingResult&, bool& stop)>& block) const {
  Matcher matcher(compiled_);
  URegularExpression* regex = matcher.get();
  if (regex == nullptr) return;
  const Range r = clipToText(range, text.size());
  UErrorCode status = U_ZERO_ERROR;
  // ICU wants a non-null buffer even for the empty text.
  static const char16_t empty = 0;
  uregex_setText(regex, text.empty() ? &empty : text.data(), static_cast<int32_t>(text.size()),
                 &status);
  uregex_setRegion64(regex, static_cast<int64_t>(r.location), static_cast<int64_t>(r.end()),
                     &status);
  uregex_useAnchoringBounds(regex, (options & WithoutAnchoringBounds) == 0, &status);
  uregex_useTransparentBounds(regex, (options & WithTransparentBounds) != 0, &status);
  if (U_FAILURE(status)) return;
  const bool anchored = (options & Anchored) != 0;
  std::size_t expected = r.location;
  bool stop = false;
  while (!stop && uregex_findNext(regex, &status) && U_SUCCESS(status)) {
    std::vector<Range> ranges;
    ranges.reserve(groups_ + 1);
    for (std::size_t g = 0; g <= groups_; ++g) {
      ranges.push_back(groupRange(regex, static_cast<int32_t>(g), status));
    }
    if (U_FAILURE(status)) return;
    if (anchored && ranges[0].location != expected) return;
    expected = ranges[0].end();
    block(TextCheckingResult(std::move(ranges)), stop);
  }
}

void RegularExpression::enumerateMatches(
    std::string_view text, MatchingOptions options, Range range,
    const std::function<void(const TextCheckingResult&, bool& stop)>& block) const {
  enumerateMatches(std::u16string_view(utf16(text)), options, range, block);
}

std::vector<TextCheckingResult> RegularExpression::matches(std::u16string_view text,
                                                           MatchingOptions options,
                                                           Range range) const {
  std::vector<TextCheckingResult> out;
  enumerateMatches(text, options, range,
                   [&](const TextCheckingResult& result, bool&) { out.push_back(result); });
  return out;
}

std::vector<TextCheckingResult> RegularExpression::matches(std::string_view text,
                                                           MatchingOptions options,
                                                           Range range) const {
  return matches(std::u16string_view(utf16(text)), options, range);
}

std::size_t RegularExpression::numberOfMatches(std::string_view text, MatchingOptions options,
                                               Range range) const {
  std::size_t count = 0;
  enumerateMatches(text, options, range, [&](const TextCheckingResult&, bool&) { ++count; });
  return count;
}

std::optional<TextCheckingResult> RegularExpression::firstMatch(std::string_view text,
                                                                MatchingOptions options,
                                                                Range range) const {
  std::optional<TextCheckingResult> first;
  enumerateMatches(text, options, range, [&](const TextCheckingResult& result, bool& stop) {
    first = result;
    stop = true;
  });
  return first;
}

Range RegularExpression::rangeOfFirstMatch(std::string_view text, MatchingOptions options,
                                           Range range) const {
  const auto first = firstMatch(text, options, range);
  return first ? first->range() : kNotFoundRange;
}

std::u16string RegularExpression::expand(const TextCheckingResult& result,
                                         std::u16string_view text,
                                         std::u16string_view templ) const {
  std::u16string out;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    const char16_t c = templ[i];
    if (c == u'\\' && i + 1 < templ.size()) {
      out.push_back(templ[++i]);
      continue;
    }
    if (c != u'$' || i + 1 >= templ.size() || templ[i + 1] < u'0' || templ[i + 1] > u'9') {
      out.push_back(c);
      continue;
    }
    // Take as many digits as still name an existing group; the first digit always counts.
    std::size_t group = static_cast<std::size_t>(templ[++i] - u'0');
    while (i + 1 < templ.size() && templ[i + 1] >= u'0' && templ[i + 1] <= u'9') {
      const std::size_t longer = group * 10 + static_cast<std::size_t>(templ[i + 1] - u'0');
      if (longer > groups_) break;
      group = longer;
      ++i;
    }
    const Range r = result.rangeAtIndex(group);
    if (r.found() && r.end() <= text.size()) out.append(text.substr(r.location, r.length));
  }
  return out;
}

std::string RegularExpression::replacementString(const TextCheckingResult& result,
                                                 std::string_view text,
                                                 std::string_view templ) const {
  return utf8(expand(result, utf16(text), utf16(templ)));
}

std::string RegularExpression::stringByReplacingMatches(std::string_view text,
                                                        MatchingOptions options, Range range,
                                                        std::string_view templ) const {
  const std::u16string units = utf16(text);
  const std::u16string t = utf16(templ);
  std::u16string out;
  std::size_t copied = 0;
  enumerateMatches(std::u16string_view(units), options, range,
                   [&](const TextCheckingResult& result, bool&) {
                     const Range r = result.range();
                     out.append(units, copied, r.location - copied);
                     out += expand(result, units, t);
                     copied = r.end();
                   });
  out.append(units, copied);
  return utf8(out);
}

std::size_t RegularExpression::replaceMatches(std::string& text, MatchingOptions options,
                                              Range range, std::string_view templ) const {
  const std::size_t count = numberOfMatches(text, options, range);
  if (count > 0) text = stringByReplacingMatches(text, options, range, templ);
  return count;
}

std::string RegularExpression::escapedPatternForString(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::strchr("*?+[(){}^$|\\./", c) != nullptr && c != '\0') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string RegularExpression::escapedTemplateForString(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '$') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace foundation
