#include "app/LineHighlighting.h"

#include <optional>
#include <string>

#include "hostfiles/IP.h"

namespace app {

namespace {

bool isBlank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

bool isNameCharacter(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') || (unit >= u'0' && unit <= u'9') || unit == u'.' ||
         unit == u'-';
}

// Where the line's own characters end: a CR of a CR LF text is the line ending, so it belongs
// to no address and no host name (an address alone on its line must not turn invalid merely
// because the file came from another system).
std::size_t contentEnd(std::u16string_view line) {
  if (!line.empty() && line.back() == u'\r') return line.size() - 1;
  return line.size();
}

// The marks one scan of a line leaves: the address, where the host names begin, the "#".
struct LineMarks {
  std::optional<std::size_t> addressStart;
  std::optional<std::size_t> addressLength;
  std::optional<std::size_t> nameStart;
  std::optional<std::size_t> hash;
};

LineMarks scan(std::u16string_view line, std::size_t end) {
  LineMarks marks;
  for (std::size_t i = 0; i < end; ++i) {
    const char16_t unit = line[i];
    if (unit == u'#') {
      marks.hash = i;
      break;
    }
    if (!marks.addressStart) {
      if (!isBlank(unit)) marks.addressStart = i;
      continue;
    }
    if (!marks.addressLength && isBlank(unit)) {
      marks.addressLength = i - *marks.addressStart;
      marks.nameStart = i + 1;
    }
  }
  return marks;
}

void addAddressSpans(std::u16string_view line, std::size_t end, const LineMarks& marks,
                     std::vector<HighlightSpan>& spans) {
  if (!marks.addressStart) return;
  const std::size_t start = *marks.addressStart;
  // Without a blank after it the address runs to the end of the line, through any comment.
  const std::size_t length = marks.addressLength ? *marks.addressLength : end - start;
  IP validator{std::u16string(line.substr(start, length))};
  validator.setRange({0, length});
  if (validator.isValid()) {
    spans.push_back({start, length,
                     validator.isVersion4() ? HighlightKind::IPv4Address : HighlightKind::IPv6Address});
    return;
  }
  const foundation::Range invalid = validator.invalidRange();
  spans.push_back({start + invalid.location, invalid.length, HighlightKind::Invalid});
}

void addNameSpans(std::u16string_view line, std::size_t end, const LineMarks& marks,
                  std::vector<HighlightSpan>& spans) {
  if (!marks.nameStart) return;
  const std::size_t namesEnd = marks.hash ? *marks.hash : end;
  std::size_t i = *marks.nameStart;
  while (i < namesEnd) {
    while (i < namesEnd && isBlank(line[i])) ++i;
    const std::size_t tokenStart = i;
    while (i < namesEnd && !isBlank(line[i])) ++i;
    if (i == tokenStart) break;
    if (!validName(line.substr(tokenStart, i - tokenStart))) {
      spans.push_back({tokenStart, i - tokenStart, HighlightKind::Invalid});
    }
  }
}

}  // namespace

std::vector<HighlightSpan> spansForLine(std::u16string_view line) {
  std::vector<HighlightSpan> spans;
  const std::size_t end = contentEnd(line);
  const LineMarks marks = scan(line, end);
  // The comment colour covers the line ending too, as the rest of the line does.
  if (marks.hash) spans.push_back({*marks.hash, line.size() - *marks.hash, HighlightKind::Comment});
  addAddressSpans(line, end, marks, spans);
  addNameSpans(line, end, marks, spans);
  return spans;
}

bool validName(std::u16string_view token) {
  for (std::size_t i = 0; i < token.size(); ++i) {
    const char16_t unit = token[i];
    if (!isNameCharacter(unit)) return false;
    if (unit != u'-' && unit != u'.') continue;
    if (i == 0 || i + 1 == token.size() || token[i - 1] == u'.') return false;
  }
  return true;
}

}  // namespace app
