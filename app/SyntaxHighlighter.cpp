#include "app/SyntaxHighlighter.h"

#include <algorithm>
#include <string_view>

namespace app {
namespace {

// The ranges of `spans`, with every invalid mark laid over what lies beneath: the mark adds an
// underline and keeps the colour under it, which may change within its range (an address that
// runs into a comment). The result covers each unit once.
QList<QTextLayout::FormatRange> rangesOf(const std::vector<HighlightSpan>& spans, int length) {
  std::vector<QTextCharFormat> perUnit;
  std::vector<bool> set;
  perUnit.resize(static_cast<std::size_t>(length));
  set.assign(static_cast<std::size_t>(length), false);
  for (const HighlightSpan& span : spans) {
    const std::size_t end = std::min<std::size_t>(span.location + span.length, static_cast<std::size_t>(length));
    for (std::size_t i = span.location; i < end; ++i) {
      switch (span.kind) {
        case HighlightKind::Comment:
          perUnit[i].setForeground(SyntaxHighlighter::commentColor());
          break;
        case HighlightKind::IPv4Address:
          perUnit[i].setForeground(SyntaxHighlighter::ipv4Color());
          break;
        case HighlightKind::IPv6Address:
          perUnit[i].setForeground(SyntaxHighlighter::ipv6Color());
          break;
        case HighlightKind::Invalid:
          perUnit[i].setUnderlineStyle(QTextCharFormat::DotLine);
          perUnit[i].setUnderlineColor(SyntaxHighlighter::invalidColor());
          break;
      }
      set[i] = true;
    }
  }
  QList<QTextLayout::FormatRange> ranges;
  for (int i = 0; i < length;) {
    if (!set[static_cast<std::size_t>(i)]) {
      ++i;
      continue;
    }
    int end = i + 1;
    while (end < length && set[static_cast<std::size_t>(end)] && perUnit[static_cast<std::size_t>(end)] == perUnit[static_cast<std::size_t>(i)]) ++end;
    ranges.append({i, end - i, perUnit[static_cast<std::size_t>(i)]});
    i = end;
  }
  return ranges;
}

}  // namespace

QColor SyntaxHighlighter::ipv4Color() { return QColor::fromRgbF(0.75f, 0.19f, 0.63f, 1.0f); }

QColor SyntaxHighlighter::ipv6Color() { return ipv4Color(); }

QColor SyntaxHighlighter::commentColor() { return QColor::fromRgbF(0.35f, 0.69f, 0.43f, 1.0f); }

QColor SyntaxHighlighter::invalidColor() { return QColor(Qt::red); }

QList<QTextLayout::FormatRange> SyntaxHighlighter::highlight(const QString& text) {
  const std::u16string_view line(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size()));
  const std::vector<HighlightSpan> spans = spansForLine(line);
  if (spans.empty()) return {};
  return rangesOf(spans, static_cast<int>(text.size()));
}

const QList<QTextLayout::FormatRange>& SyntaxHighlighter::formatsFor(std::size_t line, const QString& text) {
  const auto found = formats_.find(line);
  if (found != formats_.end()) return found->second;
  if (formats_.size() >= kRememberedLines) forgetFarFrom(line);
  ++linesHighlighted_;
  return formats_.emplace(line, highlight(text)).first->second;
}

void SyntaxHighlighter::linesChanged(const TextLines::Change& change) {
  const std::size_t removedEnd = change.first + change.removedLines;  // last line replaced
  const std::ptrdiff_t shift =
      static_cast<std::ptrdiff_t>(change.insertedLines) - static_cast<std::ptrdiff_t>(change.removedLines);
  std::unordered_map<std::size_t, QList<QTextLayout::FormatRange>> kept;
  kept.reserve(formats_.size());
  for (auto& [line, formats] : formats_) {
    if (line < change.first) {
      kept.emplace(line, std::move(formats));
    } else if (line > removedEnd) {
      kept.emplace(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(line) + shift), std::move(formats));
    }
  }
  formats_ = std::move(kept);
}

void SyntaxHighlighter::reset() { formats_.clear(); }

// Keeps the half of the remembered lines nearest to `line`: those are the ones a scroll needs next.
void SyntaxHighlighter::forgetFarFrom(std::size_t line) {
  const auto distance = [line](std::size_t other) { return other > line ? other - line : line - other; };
  std::vector<std::size_t> distances;
  distances.reserve(formats_.size());
  for (const auto& entry : formats_) distances.push_back(distance(entry.first));
  const auto middle = distances.begin() + static_cast<std::ptrdiff_t>(distances.size() / 2);
  std::nth_element(distances.begin(), middle, distances.end());
  const std::size_t limit = *middle;
  std::erase_if(formats_, [&](const auto& entry) { return distance(entry.first) >= limit; });
}

}  // namespace app
