#include "app/QMTextView.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QString>
#include <QTextBlock>
#include <QTextDocument>

#include "app/SyntaxHighlighter.h"

namespace app {

namespace {

constexpr int kFontPointSize = 11;
constexpr qreal kInset = 15.0;

// Whether every line end of `text` is CR LF (and there is at least one).
bool hasOnlyCRLFLineEnds(std::string_view text) {
  std::size_t newlines = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    if (i == 0 || text[i - 1] != '\r') return false;
    ++newlines;
  }
  return newlines > 0;
}

// Whether `font` sets every printable ASCII character at one advance, so that the columns of a
// hosts file line up. Measured rather than read from the font database's flag: fontconfig leaves
// the flag off for some monospaced faces (for their few wider glyphs beyond ASCII), and a desktop
// may map its fixed font to a proportional face.
bool linesUpASCII(const QFont& font) {
  const QFontMetricsF metrics(font);
  const qreal advance = metrics.horizontalAdvance(QLatin1Char(' '));
  for (char c = '!'; c <= '~'; ++c) {
    if (metrics.horizontalAdvance(QLatin1Char(c)) != advance) return false;
  }
  return advance > 0;
}

}  // namespace

QFont QMTextView::fixedPitchFont(QFont preferred, int pointSize) {
  preferred.setPointSize(pointSize);
  preferred.setStyleHint(QFont::Monospace);
  preferred.setFixedPitch(true);
  if (linesUpASCII(preferred)) return preferred;
  QFont candidate = preferred;
  candidate.setFamilies({QStringLiteral("monospace")});
  if (linesUpASCII(candidate)) return candidate;
  // The flag narrows the search, so that a machine with many fonts is not measured face by face.
  for (const QString& family : QFontDatabase::families()) {
    if (!QFontDatabase::isFixedPitch(family) || QFontDatabase::isPrivateFamily(family)) continue;
    candidate.setFamilies({family});
    if (linesUpASCII(candidate)) return candidate;
  }
  return preferred;
}

QMTextView::QMTextView(QWidget* parent) : QPlainTextEdit(parent) {
  const QFont font = fixedPitchFont(QFontDatabase::systemFont(QFontDatabase::FixedFont), kFontPointSize);
  setFont(font);
  document()->setDefaultFont(font);
  document()->setDocumentMargin(kInset);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  highlighter_ = new SyntaxHighlighter(document());
  connect(this, &QPlainTextEdit::textChanged, this, &QMTextView::textDidChange);
}

QMTextView::~QMTextView() = default;

void QMTextView::showText(std::string_view text, bool editable) {
  crlfLineEnds_ = hasOnlyCRLFLineEnds(text);
  showingText_ = true;
  setPlainText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  showingText_ = false;
  setEditable(editable);
}

std::string QMTextView::text() const {
  // Block by block rather than toPlainText, which turns no-break spaces into plain blanks.
  const QString lineEnd = crlfLineEnds_ ? QStringLiteral("\r\n") : QStringLiteral("\n");
  QString joined;
  for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
    if (block != document()->begin()) joined += lineEnd;
    joined += block.text();
  }
  return joined.toStdString();
}

void QMTextView::textDidChange() {
  if (showingText_) return;
  emit userEdited();
  if (userEditHandler_) userEditHandler_(text());
}

}  // namespace app
