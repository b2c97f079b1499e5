#pragma once
// LineHighlighting is the editor's per-line rule: which stretches of one line of hostfile text
// are a comment, an address (valid version 4 or version 6) or a part that breaks the syntax
// (a bad address part, a bad host name). It only reads the text; colours and underlines are the
// highlighter's business. Positions and lengths count UTF-16 units of the line.
//
// Pure functions; safe from any thread.
#include <cstddef>
#include <string_view>
#include <vector>

namespace app {

// What a span of a line is. Invalid spans lie on top of the others: they add the error mark
// and leave the colour underneath as it was.
enum class HighlightKind { Comment, IPv4Address, IPv6Address, Invalid };

struct HighlightSpan {
  std::size_t location = 0;
  std::size_t length = 0;
  HighlightKind kind = HighlightKind::Comment;
  bool operator==(const HighlightSpan&) const = default;
};

// The spans of `line` (one line without its "\n"; a trailing "\r" of a CR LF text is taken as
// part of the line ending), in the order they are to be applied: the comment, then the address,
// then every bad host name token in line order. Later spans lie on top of earlier ones: an
// address that runs into a comment (no blank before the "#") is coloured over it.
//
// The first run of characters that are neither blank (U+0020) nor tab is the address; it is
// judged by the IP validator, and a rejected address contributes the part the validator points
// out. The host names are the blank- or tab-separated tokens after the first blank or tab that
// follows the address, up to a "#" or the end of the line; each goes through validName. An empty
// line gives no spans.
std::vector<HighlightSpan> spansForLine(std::u16string_view line);

// Whether `token` is an acceptable host name: only lower-case ASCII letters, digits, "." and
// "-", with neither "." nor "-" first, last or right after a ".". The empty token is valid.
bool validName(std::u16string_view token);

}  // namespace app
