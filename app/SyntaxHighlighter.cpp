#include "app/SyntaxHighlighter.h"

#include <string_view>

#include "app/LineHighlighting.h"

namespace app {

QColor SyntaxHighlighter::ipv4Color() { return QColor::fromRgbF(0.75f, 0.19f, 0.63f, 1.0f); }

QColor SyntaxHighlighter::ipv6Color() { return ipv4Color(); }

QColor SyntaxHighlighter::commentColor() { return QColor::fromRgbF(0.35f, 0.69f, 0.43f, 1.0f); }

QColor SyntaxHighlighter::invalidColor() { return QColor(Qt::red); }

SyntaxHighlighter::SyntaxHighlighter(QTextDocument* document) : QSyntaxHighlighter(document) {}

void SyntaxHighlighter::highlightBlock(const QString& text) {
  ++blocksHighlighted_;
  // The block starts from no formats at all (the cleared state), so only the marks are set here.
  const std::u16string_view line(reinterpret_cast<const char16_t*>(text.utf16()),
                                 static_cast<std::size_t>(text.size()));
  for (const HighlightSpan& span : spansForLine(line)) {
    const int location = static_cast<int>(span.location);
    const int length = static_cast<int>(span.length);
    switch (span.kind) {
      case HighlightKind::Comment:
        setFormat(location, length, commentColor());
        break;
      case HighlightKind::IPv4Address:
        setFormat(location, length, ipv4Color());
        break;
      case HighlightKind::IPv6Address:
        setFormat(location, length, ipv6Color());
        break;
      case HighlightKind::Invalid:
        markInvalid(location, length);
        break;
    }
  }
}

// The mark adds an underline and keeps whatever colour lies beneath, one unit at a time because
// the colours under the range may differ (an address running into a comment).
void SyntaxHighlighter::markInvalid(int location, int length) {
  for (int i = location; i < location + length; ++i) {
    QTextCharFormat marked = format(i);
    marked.setUnderlineStyle(QTextCharFormat::DotLine);
    marked.setUnderlineColor(invalidColor());
    setFormat(i, 1, marked);
  }
}

}  // namespace app
