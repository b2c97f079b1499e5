#pragma once
// RegularExpression stands in for the platform's regular expressions: ICU's pattern dialect, the
// platform's compile and matching options, and match ranges (with capture groups) counted in
// UTF-16 units of the searched text. TextCheckingResult is one match.
//
// A compiled expression is immutable and may be used from any number of threads at once; each
// search works on its own clone of the compiled pattern. Compiling a bad pattern reports an
// error value and never aborts.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/String.h"

struct URegularExpression;

namespace foundation {

// One match: the whole match at index 0, then one range per capture group. A group that took no
// part in the match has kNotFoundRange.
class TextCheckingResult {
 public:
  explicit TextCheckingResult(std::vector<Range> ranges) : ranges_(std::move(ranges)) {}

  Range range() const { return rangeAtIndex(0); }
  std::size_t numberOfRanges() const { return ranges_.size(); }
  // The range of group `index`; kNotFoundRange past the last group.
  Range rangeAtIndex(std::size_t index) const {
    return index < ranges_.size() ? ranges_[index] : kNotFoundRange;
  }
  bool operator==(const TextCheckingResult&) const = default;

 private:
  std::vector<Range> ranges_;
};

class RegularExpression {
 public:
  // Compile options, combinable with "|".
  using Options = unsigned;
  static constexpr Options CaseInsensitive = 1 << 0;
  static constexpr Options AllowCommentsAndWhitespace = 1 << 1;
  static constexpr Options IgnoreMetacharacters = 1 << 2;  // the pattern is a literal text
  static constexpr Options DotMatchesLineSeparators = 1 << 3;
  static constexpr Options AnchorsMatchLines = 1 << 4;  // "^" and "$" at every line
  static constexpr Options UseUnixLineSeparators = 1 << 5;  // only "\n" ends a line
  static constexpr Options UseUnicodeWordBoundaries = 1 << 6;

  // Matching options, combinable with "|". Progress and completion reports are accepted and
  // ignored: searches here are synchronous and report only matches.
  using MatchingOptions = unsigned;
  static constexpr MatchingOptions ReportProgress = 1 << 0;
  static constexpr MatchingOptions ReportCompletion = 1 << 1;
  static constexpr MatchingOptions Anchored = 1 << 2;  // matches must follow on from the range's start
  static constexpr MatchingOptions WithTransparentBounds = 1 << 3;  // look-around sees past the range
  static constexpr MatchingOptions WithoutAnchoringBounds = 1 << 4;  // "^"/"$" not at the range's ends

  // The range meaning "the whole text"; every range is clipped to the text.
  static constexpr Range kWholeText{0, NotFound};

  // Compiles `pattern` (UTF-8). On a bad pattern returns nullptr and, when `error` is given, sets
  // it to a Cocoa error 2048 whose user info holds the pattern under "NSInvalidValue" and the
  // description "The value “<pattern>” is invalid.".
  static std::shared_ptr<RegularExpression> create(std::string_view pattern, Options options = 0,
                                                   Error* error = nullptr);
  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  const std::string& pattern() const { return pattern_; }
  Options options() const { return options_; }
  std::size_t numberOfCaptureGroups() const { return groups_; }

  // Calls `block` with each match inside `range`, in order, until `stop` is set. Ranges count
  // UTF-16 units of the whole `text`, not of the range.
  void enumerateMatches(std::u16string_view text, MatchingOptions options, Range range,
                        const std::function<void(const TextCheckingResult&, bool& stop)>& block) const;
  void enumerateMatches(std::string_view text, MatchingOptions options, Range range,
                        const std::function<void(const TextCheckingResult&, bool& stop)>& block) const;

  // All matches inside `range`.
  std::vector<TextCheckingResult> matches(std::string_view text, MatchingOptions options = 0,
                                          Range range = kWholeText) const;
  std::vector<TextCheckingResult> matches(std::u16string_view text, MatchingOptions options = 0,
                                          Range range = kWholeText) const;
  // The number of matches inside `range`.
  std::size_t numberOfMatches(std::string_view text, MatchingOptions options = 0,
                              Range range = kWholeText) const;
  // The first match inside `range`, if any.
  std::optional<TextCheckingResult> firstMatch(std::string_view text, MatchingOptions options = 0,
                                               Range range = kWholeText) const;
  // The range of the first match, or kNotFoundRange.
  Range rangeOfFirstMatch(std::string_view text, MatchingOptions options = 0,
                          Range range = kWholeText) const;

  // `text` with every match inside `range` replaced by `templ` expanded for that match: "$0" is
  // the match, "$1" and up the groups (as many digits as name an existing group), "\" makes the
  // next character literal. Text outside the range is kept.
  std::string stringByReplacingMatches(std::string_view text, MatchingOptions options, Range range,
                                       std::string_view templ) const;
  std::string stringByReplacingMatches(std::string_view text, std::string_view templ) const {
    return stringByReplacingMatches(text, 0, kWholeText, templ);
  }
  // Replaces in place as stringByReplacingMatches does; returns the number of matches replaced.
  std::size_t replaceMatches(std::string& text, MatchingOptions options, Range range,
                             std::string_view templ) const;
  // `templ` expanded for `result`, a match found in `text`.
  std::string replacementString(const TextCheckingResult& result, std::string_view text,
                                std::string_view templ) const;

  // `text` with the pattern metacharacters escaped, so that it compiles to a literal match.
  static std::string escapedPatternForString(std::string_view text);
  // `text` with "\" and "$" escaped, so that it expands to itself as a template.
  static std::string escapedTemplateForString(std::string_view text);

 private:
  RegularExpression(std::string pattern, Options options, URegularExpression* compiled,
                    std::size_t groups);
  std::u16string expand(const TextCheckingResult& result, std::u16string_view text,
                        std::u16string_view templ) const;

  std::string pattern_;
  Options options_;
  URegularExpression* compiled_;
  std::size_t groups_;
};

}  // namespace foundation
