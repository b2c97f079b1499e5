// QMTextView and input methods: the text being composed is shown at the cursor, a commit is an
// edit of the user's (it may replace text around the cursor), and the input method learns of the
// text around the cursor from the cursor's line alone.
#include <QInputMethodEvent>
#include <QScrollBar>
#include <QTextLine>

#include <algorithm>

#include "app/QMTextView.h"
#include "app/UTF8Text.h"

namespace app {

// The bytes an input method is told of: the cursor's line without its line end, or around the
// cursor the stretch of a line longer than the view shows, so that no query hands over a hostile
// line of many megabytes.
std::pair<std::size_t, std::size_t> QMTextView::surroundingBytes() const {
  const std::size_t line = lines_.lineOf(cursor_);
  const std::size_t start = lines_.lineStart(line);
  const std::size_t end = lines_.contentEnd(line);
  if (end - start <= kDisplayedBytes) return {start, end};
  const std::string_view text = lines_.text();
  const auto toCharacterStart = [&](std::size_t at) {
    while (at > start && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    return at;
  };
  const std::size_t half = kDisplayedBytes / 2;
  return {toCharacterStart(cursor_ - std::min(cursor_ - start, half)), toCharacterStart(std::min(end, cursor_ + half))};
}

void QMTextView::inputMethodEvent(QInputMethodEvent* event) {
  event->accept();
  if (!editable_) return;
  if (!event->commitString().isEmpty() || event->replacementLength() > 0) commitInput(*event);
  setPreedit(*event);
}

void QMTextView::commitInput(const QInputMethodEvent& event) {
  auto [from, to] = selection();
  if (event.replacementStart() != 0 || event.replacementLength() > 0) {
    // The range counts UTF-16 units from the cursor, within the surrounding text the input method
    // was given; it cannot reach beyond that.
    const auto [first, last] = surroundingBytes();
    const std::string_view surrounding = std::string_view(lines_.text()).substr(first, last - first);
    const auto cursor = static_cast<long long>(utf16Length(surrounding.substr(0, cursor_ - first)));
    const auto size = static_cast<long long>(utf16Length(surrounding));
    const long long start = std::clamp<long long>(cursor + event.replacementStart(), 0, size);
    const long long end = std::clamp<long long>(start + std::max(0, event.replacementLength()), start, size);
    from = first + byteOffsetOfUTF16(surrounding, static_cast<std::size_t>(start));
    to = first + byteOffsetOfUTF16(surrounding, static_cast<std::size_t>(end));
  }
  // Composed text is typed text: consecutive commits undo as one step, as typing does.
  replaceRange(from, to, withOwnLineEnds(event.commitString()), true);
}

void QMTextView::setPreedit(const QInputMethodEvent& event) {
  Preedit preedit;
  preedit.text = event.preeditString();
  const auto size = static_cast<int>(preedit.text.size());
  preedit.cursor = size;
  for (const QInputMethodEvent::Attribute& attribute : event.attributes()) {
    const int start = std::clamp(attribute.start, 0, size);
    if (attribute.type == QInputMethodEvent::Cursor) {
      preedit.cursor = attribute.length > 0 ? start : -1;
    } else if (attribute.type == QInputMethodEvent::TextFormat) {
      const QTextCharFormat format = qvariant_cast<QTextFormat>(attribute.value).toCharFormat();
      const int end = std::clamp(attribute.start + attribute.length, start, size);
      if (format.isValid() && end > start) preedit.formats.append({start, end - start, format});
    }
  }
  if (preedit.text.isEmpty() && preedit_.text.isEmpty()) return;
  preedit_ = std::move(preedit);
  viewport()->update();
  updateMicroFocus();
}

void QMTextView::clearPreedit() { preedit_ = {}; }

// Puts the preedit text into the layout of the cursor's line, underlined, with the formats the
// input method asked for; the line's own formats move aside for it.
void QMTextView::insertPreedit(LaidOutLine& line) const {
  if (preedit_.text.isEmpty() || line.start != lines_.lineStart(lines_.lineOf(cursor_))) return;
  const int at = utf16IndexIn(line, cursor_);
  const auto length = static_cast<int>(preedit_.text.size());
  QList<QTextLayout::FormatRange> formats;
  for (QTextLayout::FormatRange range : line.layout->formats()) {
    if (range.start + range.length <= at) {
      formats.append(range);
    } else if (range.start >= at) {
      range.start += length;
      formats.append(range);
    } else {
      formats.append({range.start, at - range.start, range.format});
      formats.append({at + length, range.start + range.length - at, range.format});
    }
  }
  QTextCharFormat underlined;
  underlined.setUnderlineStyle(QTextCharFormat::SingleUnderline);
  formats.append({at, length, underlined});
  for (QTextLayout::FormatRange range : preedit_.formats) {
    range.start += at;
    formats.append(range);
  }
  QString text = line.layout->text();
  text.insert(at, preedit_.text);
  line.layout->setText(text);
  line.layout->setFormats(formats);
  line.preeditAt = at;
}

// Where the cursor is drawn in a painted line: within the preedit text where the input method
// puts it; -1 when it hides it.
int QMTextView::cursorIndexIn(const LaidOutLine& line) const {
  if (line.preeditAt < 0) return utf16IndexIn(line, cursor_);
  return preedit_.cursor < 0 ? -1 : line.preeditAt + preedit_.cursor;
}

QRect QMTextView::cursorRectangle() const {
  const std::size_t line = lines_.lineOf(cursor_);
  qreal x = cursorX(cursor_);
  if (!preedit_.text.isEmpty()) {
    const LaidOutLine laidOut = layOut(line, true);
    const QTextLine textLine = laidOut.layout->lineAt(0);
    const int index = cursorIndexIn(laidOut);
    // A hidden cursor: the candidates still belong after the text being composed.
    if (textLine.isValid()) x = textLine.cursorToX(index >= 0 ? index : laidOut.preeditAt + static_cast<int>(preedit_.text.size()));
  }
  x += kInset - horizontalScrollBar()->value();
  // The input method asks the view, not its viewport: in the view's coordinates, past the frame.
  return QRectF(x, lineTop(line), 1, lineHeight()).toRect().translated(viewport()->pos());
}

QVariant QMTextView::inputMethodQuery(Qt::InputMethodQuery query) const {
  switch (query) {
    case Qt::ImEnabled: return editable_;
    case Qt::ImFont: return font();
    case Qt::ImCursorRectangle: return cursorRectangle();
    case Qt::ImSurroundingText:
    case Qt::ImCursorPosition:
    case Qt::ImAnchorPosition:
    case Qt::ImCurrentSelection: break;
    default: return QAbstractScrollArea::inputMethodQuery(query);
  }
  // Positions count UTF-16 units from the start of the surrounding text; the anchor and the
  // selection are cut to it.
  const std::pair<std::size_t, std::size_t> around = surroundingBytes();
  const std::size_t from = around.first;
  const std::size_t to = around.second;
  const std::string_view text = lines_.text();
  const auto indexOf = [&](std::size_t position) {
    return static_cast<int>(utf16Length(text.substr(from, std::clamp(position, from, to) - from)));
  };
  const auto textBetween = [&](std::size_t first, std::size_t last) {
    first = std::clamp(first, from, to);
    last = std::clamp(last, first, to);
    return QString::fromUtf8(text.data() + first, static_cast<qsizetype>(last - first));
  };
  switch (query) {
    case Qt::ImSurroundingText: return textBetween(from, to);
    case Qt::ImCursorPosition: return indexOf(cursor_);
    case Qt::ImAnchorPosition: return indexOf(anchor_);
    default: return textBetween(selection().first, selection().second);
  }
}

}  // namespace app
