#include "app/QMTextView.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextLine>

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/QMTextViewAccessible.h"
#include "app/UTF8Text.h"

namespace app {

namespace {

// Lines are never wrapped: one layout line as wide as this.
constexpr qreal kLineWidth = 10000000.0;

// Whether every line end of `text` is CR LF (and there is at least one).
bool hasOnlyCRLFLineEnds(std::string_view text) {
  std::size_t newlines = 0;
  for (std::size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
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

// Whether typed text is to be inserted: printable characters, no control characters but tab.
bool isInsertable(const QString& text) {
  if (text.isEmpty()) return false;
  return std::all_of(text.begin(), text.end(), [](QChar c) { return c == u'\t' || c.isPrint() || c.isSurrogate(); });
}

bool isWordCharacter(QChar c) { return c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_' || c == u':'; }

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

QMTextView::QMTextView(QWidget* parent) : QAbstractScrollArea(parent) {
  setFont(fixedPitchFont(QFontDatabase::systemFont(QFontDatabase::FixedFont), kFontPointSize));
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled);
  viewport()->setCursor(Qt::IBeamCursor);
  accessibility_ = std::make_unique<QMTextViewAccessibility>(*this);
  updateScrollBars();
}

QMTextView::~QMTextView() = default;

// --- The text ------------------------------------------------------------------------------------

void QMTextView::setText(std::string text) {
  crlfLineEnds_ = hasOnlyCRLFLineEnds(text);
  lines_.assign(std::move(text));
  highlighter_.reset();
  history_.clear();
  accessibility_->textReset();
  clearPreedit();
  selectingWithMouse_ = false;
  updateScrollBars();
  viewport()->update();
}

void QMTextView::showText(std::string text, bool editable) {
  setText(std::move(text));
  setEditable(editable);
  cursor_ = anchor_ = 0;
  wantedX_ = -1;
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  cursorChanged();
}

void QMTextView::replaceShownText(std::string text) {
  const int top = verticalScrollBar()->value();
  const int left = horizontalScrollBar()->value();
  const std::size_t line = lines_.lineOf(cursor_);
  setText(std::move(text));
  const std::size_t kept = std::min(line, lines_.lineCount() - 1);
  cursor_ = anchor_ = lines_.lineStart(kept);
  verticalScrollBar()->setValue(top);
  horizontalScrollBar()->setValue(left);
  cursorChanged();
}

void QMTextView::setEditable(bool editable) {
  editable_ = editable;
  setAttribute(Qt::WA_InputMethodEnabled, editable);
  viewport()->update();
}

// --- Layout --------------------------------------------------------------------------------------

qreal QMTextView::lineHeight() const { return QFontMetricsF(font()).lineSpacing(); }

qreal QMTextView::lineTop(std::size_t line) const {
  return kInset + static_cast<qreal>(line) * lineHeight() - verticalScrollBar()->value();
}

std::size_t QMTextView::lineAtY(qreal y) const {
  const qreal fromTop = y + verticalScrollBar()->value() - kInset;
  if (fromTop <= 0) return 0;
  const auto line = static_cast<std::size_t>(fromTop / lineHeight());
  return std::min(line, lines_.lineCount() - 1);
}

std::pair<std::size_t, std::size_t> QMTextView::visibleLines() const {
  return {lineAtY(0), lineAtY(viewport()->height())};
}

QMTextView::LaidOutLine QMTextView::layOut(std::size_t line, bool highlighted) const {
  LaidOutLine laidOut;
  const std::string_view content = lines_.content(line);
  laidOut.start = lines_.lineStart(line);
  std::size_t shown = std::min(content.size(), kDisplayedBytes);
  while (shown < content.size() && (static_cast<unsigned char>(content[shown]) & 0xC0) == 0x80) --shown;
  laidOut.shownEnd = laidOut.start + shown;
  const QString text = QString::fromUtf8(content.data(), static_cast<qsizetype>(shown));
  laidOut.layout = std::make_unique<QTextLayout>(text, font());
  laidOut.layout->setCacheEnabled(true);
  QTextOption option;
  option.setWrapMode(QTextOption::NoWrap);
  laidOut.layout->setTextOption(option);
  if (highlighted) laidOut.layout->setFormats(highlighter_.formatsFor(line, text));
  if (highlighted) insertPreedit(laidOut);
  laidOut.layout->beginLayout();
  QTextLine textLine = laidOut.layout->createLine();
  if (textLine.isValid()) textLine.setLineWidth(kLineWidth);
  laidOut.layout->endLayout();
  return laidOut;
}

int QMTextView::utf16IndexIn(const LaidOutLine& line, std::size_t position) const {
  const std::size_t clamped = std::clamp(position, line.start, line.shownEnd);
  const auto index = static_cast<int>(utf16Length(std::string_view(lines_.text()).substr(line.start, clamped - line.start)));
  // The text after the cursor sits behind a preedit text put into the layout.
  return line.preeditAt >= 0 && index > line.preeditAt ? index + static_cast<int>(preedit_.text.size()) : index;
}

std::size_t QMTextView::positionIn(const LaidOutLine& line, int utf16Index) const {
  const std::string_view shown = std::string_view(lines_.text()).substr(line.start, line.shownEnd - line.start);
  return line.start + byteOffsetOfUTF16(shown, static_cast<std::size_t>(std::max(0, utf16Index)));
}

qreal QMTextView::cursorX(std::size_t position) const {
  const LaidOutLine line = layOut(lines_.lineOf(position), false);
  const QTextLine textLine = line.layout->lineAt(0);
  return textLine.isValid() ? textLine.cursorToX(utf16IndexIn(line, position)) : 0;
}

std::size_t QMTextView::positionAt(const QPoint& point) const {
  const std::size_t lineNumber = lineAtY(point.y());
  const LaidOutLine line = layOut(lineNumber, false);
  const QTextLine textLine = line.layout->lineAt(0);
  if (!textLine.isValid()) return line.start;
  const qreal x = point.x() - kInset + horizontalScrollBar()->value();
  return positionIn(line, textLine.xToCursor(x));
}

QList<QTextLayout::FormatRange> QMTextView::formatsOfLine(std::size_t line) {
  if (line >= lines_.lineCount()) return {};
  return layOut(line, true).layout->formats();
}

void QMTextView::updateScrollBars() {
  const QFontMetricsF metrics(font());
  const qreal height = static_cast<qreal>(lines_.lineCount()) * lineHeight() + 2 * kInset;
  const qreal width = static_cast<qreal>(std::min(lines_.widestLineBytes(), kDisplayedBytes) + 1) *
                          metrics.horizontalAdvance(QLatin1Char('M')) + 2 * kInset;
  const auto range = [](qreal content, int page) {
    const qreal beyond = std::max<qreal>(0, content - page);
    return static_cast<int>(std::min<qreal>(beyond, std::numeric_limits<int>::max()));
  };
  verticalScrollBar()->setRange(0, range(height, viewport()->height()));
  verticalScrollBar()->setPageStep(viewport()->height());
  verticalScrollBar()->setSingleStep(static_cast<int>(std::ceil(lineHeight())));
  horizontalScrollBar()->setRange(0, range(width, viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
  horizontalScrollBar()->setSingleStep(static_cast<int>(std::ceil(metrics.horizontalAdvance(QLatin1Char('M')))));
}

void QMTextView::ensureCursorVisible() {
  const std::size_t line = lines_.lineOf(cursor_);
  const qreal top = lineTop(line);
  QScrollBar* vertical = verticalScrollBar();
  if (top < 0) {
    vertical->setValue(vertical->value() + static_cast<int>(std::floor(top - kInset)));
  } else if (top + lineHeight() > viewport()->height()) {
    vertical->setValue(vertical->value() + static_cast<int>(std::ceil(top + lineHeight() + kInset - viewport()->height())));
  }
  const qreal x = kInset + cursorX(cursor_) - horizontalScrollBar()->value();
  QScrollBar* horizontal = horizontalScrollBar();
  if (x < kInset) {
    horizontal->setValue(horizontal->value() + static_cast<int>(std::floor(x - kInset)));
  } else if (x > viewport()->width() - kInset) {
    horizontal->setValue(horizontal->value() + static_cast<int>(std::ceil(x + kInset - viewport()->width())));
  }
}

// --- Painting ------------------------------------------------------------------------------------

void QMTextView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const auto selected = selection();
  const auto [first, last] = visibleLines();
  for (std::size_t line = first; line <= last; ++line) paintLine(painter, line, selected);
}

void QMTextView::paintLine(QPainter& painter, std::size_t line, const std::pair<std::size_t, std::size_t>& selected) {
  const LaidOutLine laidOut = layOut(line, true);
  const QPointF origin(kInset - horizontalScrollBar()->value(), lineTop(line));
  QList<QTextLayout::FormatRange> selections;
  const std::size_t lineEnd = lines_.contentEnd(line);
  if (selected.first < selected.second && selected.first <= lineEnd && selected.second > laidOut.start) {
    const int from = utf16IndexIn(laidOut, std::max(selected.first, laidOut.start));
    const int to = utf16IndexIn(laidOut, std::min(selected.second, lineEnd));
    QTextCharFormat format;
    format.setBackground(palette().highlight());
    format.setForeground(palette().highlightedText());
    // A selection that runs on past the line end takes the rest of the row, as in other editors.
    if (selected.second > lineEnd) format.setProperty(QTextFormat::FullWidthSelection, true);
    selections.append({from, std::max(0, to - from), format});
  }
  laidOut.layout->draw(&painter, origin, selections);
  const bool cursorHere = lines_.lineOf(cursor_) == line;
  const int cursorIndex = cursorHere ? cursorIndexIn(laidOut) : -1;
  if (cursorIndex >= 0 && editable_ && hasFocus() && cursorShown_) {
    laidOut.layout->drawCursor(&painter, origin, cursorIndex, 1);
  }
}

void QMTextView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  updateScrollBars();
}

void QMTextView::scrollContentsBy(int, int) { viewport()->update(); }

// --- Cursor and selection ----------------------------------------------------------------------

std::pair<std::size_t, std::size_t> QMTextView::selection() const {
  return {std::min(cursor_, anchor_), std::max(cursor_, anchor_)};
}

QString QMTextView::selectedText() const {
  const auto [from, to] = selection();
  return QString::fromUtf8(lines_.text().data() + from, static_cast<qsizetype>(to - from));
}

void QMTextView::setCursorPosition(std::size_t position, bool keepAnchor) {
  position = std::min(position, lines_.size());
  // Never between the parts of a UTF-8 sequence or of a CR LF pair.
  const std::size_t line = lines_.lineOf(position);
  position = std::min(position, lines_.contentEnd(line));
  while (position > 0 && (static_cast<unsigned char>(lines_.text()[position]) & 0xC0) == 0x80) --position;
  cursor_ = position;
  if (!keepAnchor) anchor_ = position;
  history_.breakTyping();
  restartBlink();
  ensureCursorVisible();
  viewport()->update();
  cursorChanged();
}

void QMTextView::selectAll() {
  anchor_ = 0;
  cursor_ = lines_.size();
  history_.breakTyping();
  viewport()->update();
  cursorChanged();
}

void QMTextView::restartBlink() {
  cursorShown_ = true;
  const int flash = QApplication::cursorFlashTime();
  if (flash > 0 && hasFocus()) {
    blink_.start(flash / 2, this);
  } else {
    blink_.stop();
  }
}

void QMTextView::timerEvent(QTimerEvent* event) {
  if (event->timerId() != blink_.timerId()) {
    QAbstractScrollArea::timerEvent(event);
    return;
  }
  cursorShown_ = !cursorShown_;
  viewport()->update();
}

void QMTextView::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  restartBlink();
  viewport()->update();
}

void QMTextView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  blink_.stop();
  viewport()->update();
}

// The position a key moves the cursor to within the text: by character or by word.
std::size_t QMTextView::positionAfterMove(int key, bool words) const {
  const std::size_t line = lines_.lineOf(cursor_);
  const bool forward = key == Qt::Key_Right;
  if (forward && cursor_ >= lines_.contentEnd(line)) return lines_.nextPosition(cursor_);
  if (!forward && cursor_ <= lines_.lineStart(line)) return lines_.previousPosition(cursor_);
  const LaidOutLine laidOut = layOut(line, false);
  const int index = utf16IndexIn(laidOut, cursor_);
  if (laidOut.shownEnd < lines_.contentEnd(line) && cursor_ >= laidOut.shownEnd) {
    // Beyond what is shown of a very long line: one character at a time.
    return forward ? lines_.nextPosition(cursor_) : lines_.previousPosition(cursor_);
  }
  const QTextLayout::CursorMode mode = words ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
  const int moved = forward ? laidOut.layout->nextCursorPosition(index, mode)
                            : laidOut.layout->previousCursorPosition(index, mode);
  return positionIn(laidOut, moved);
}

// The position `lines` lines up (negative) or down from the cursor, at the column aimed for.
std::size_t QMTextView::verticalMove(int lines) const {
  const std::size_t line = lines_.lineOf(cursor_);
  const auto target = static_cast<std::size_t>(
      std::clamp<long long>(static_cast<long long>(line) + lines, 0, static_cast<long long>(lines_.lineCount()) - 1));
  if (target == line) return lines < 0 ? 0 : lines_.size();
  const LaidOutLine laidOut = layOut(target, false);
  const QTextLine textLine = laidOut.layout->lineAt(0);
  const qreal x = wantedX_ >= 0 ? wantedX_ : cursorX(cursor_);
  return textLine.isValid() ? positionIn(laidOut, textLine.xToCursor(x)) : laidOut.start;
}

// Where a movement key takes the cursor.
std::size_t QMTextView::targetOf(QKeySequence::StandardKey move) const {
  const std::size_t line = lines_.lineOf(cursor_);
  const int page = std::max(1, static_cast<int>(viewport()->height() / lineHeight()) - 1);
  switch (move) {
    case QKeySequence::MoveToNextChar: return positionAfterMove(Qt::Key_Right, false);
    case QKeySequence::MoveToPreviousChar: return positionAfterMove(Qt::Key_Left, false);
    case QKeySequence::MoveToNextWord: return positionAfterMove(Qt::Key_Right, true);
    case QKeySequence::MoveToPreviousWord: return positionAfterMove(Qt::Key_Left, true);
    case QKeySequence::MoveToNextLine: return verticalMove(1);
    case QKeySequence::MoveToPreviousLine: return verticalMove(-1);
    case QKeySequence::MoveToNextPage: return verticalMove(page);
    case QKeySequence::MoveToPreviousPage: return verticalMove(-page);
    case QKeySequence::MoveToStartOfLine: return lines_.lineStart(line);
    case QKeySequence::MoveToEndOfLine: return lines_.contentEnd(line);
    case QKeySequence::MoveToStartOfDocument: return 0;
    case QKeySequence::MoveToEndOfDocument: return lines_.size();
    default: return cursor_;
  }
}

bool QMTextView::moveByKey(QKeyEvent* event) {
  struct Move {
    QKeySequence::StandardKey move;
    QKeySequence::StandardKey select;
    bool vertical;
  };
  static const Move moves[] = {
      {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, false},
      {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, false},
      {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, false},
      {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, false},
      {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, true},
      {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, true},
      {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, true},
      {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, true},
      {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, false},
      {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, false},
      {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, false},
      {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, false},
  };
  if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
    return true;
  }
  for (const Move& move : moves) {
    const bool select = event->matches(move.select);
    if (!select && !event->matches(move.move)) continue;
    // Up and down aim for the column the run of vertical moves started at.
    const qreal wanted = wantedX_ >= 0 ? wantedX_ : cursorX(cursor_);
    std::size_t target = targetOf(move.move);
    // Without a selection to extend, a plain left or right first collapses the selection.
    const auto [from, to] = selection();
    if (!select && from != to && move.move == QKeySequence::MoveToNextChar) target = to;
    if (!select && from != to && move.move == QKeySequence::MoveToPreviousChar) target = from;
    setCursorPosition(target, select);
    wantedX_ = move.vertical ? wanted : -1;
    return true;
  }
  return false;
}

std::pair<std::size_t, std::size_t> QMTextView::wordAt(std::size_t position) const {
  const LaidOutLine laidOut = layOut(lines_.lineOf(position), false);
  const QString& text = laidOut.layout->text();
  int from = utf16IndexIn(laidOut, position);
  int to = from;
  if (to < text.size() && !isWordCharacter(text[to])) return {positionIn(laidOut, from), positionIn(laidOut, from + 1)};
  while (from > 0 && isWordCharacter(text[from - 1])) --from;
  while (to < text.size() && isWordCharacter(text[to])) ++to;
  return {positionIn(laidOut, from), positionIn(laidOut, to)};
}

// --- Edits ---------------------------------------------------------------------------------------

void QMTextView::changed(const TextLines::Change& change) {
  highlighter_.linesChanged(change);
  ++editCount_;
  updateScrollBars();
  viewport()->update();
  cursorChanged();
  emit userEdited();
}

void QMTextView::cursorChanged() {
  updateMicroFocus();
  accessibility_->report();
}

void QMTextView::replaceRange(std::size_t from, std::size_t to, const std::string& inserted, bool typed) {
  if (!editable_) return;
  if (from == to && inserted.empty()) return;
  TextEditHistory::Edit edit;
  edit.position = from;
  edit.removed = lines_.text().substr(from, to - from);
  edit.inserted = inserted;
  edit.cursorBefore = cursor_;
  edit.anchorBefore = anchor_;
  const TextLines::Change change = lines_.replace(from, to - from, inserted);
  accessibility_->textReplaced(change, from, edit.removed, inserted);
  history_.record(std::move(edit), typed);
  cursor_ = anchor_ = from + inserted.size();
  wantedX_ = -1;
  restartBlink();
  ensureCursorVisible();
  changed(change);
}

// Pasted and typed text takes the text's own line ends.
std::string QMTextView::withOwnLineEnds(const QString& text) const {
  QString normalized = text;
  normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  normalized.replace(QChar::ParagraphSeparator, u'\n');
  normalized.replace(QChar::LineSeparator, u'\n');
  if (crlfLineEnds_) normalized.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return normalized.toStdString();
}

void QMTextView::insertText(const QString& text) {
  const auto [from, to] = selection();
  replaceRange(from, to, withOwnLineEnds(text), true);
}

void QMTextView::deleteBackward(bool word) {
  const auto [from, to] = selection();
  if (from != to) {
    replaceRange(from, to, {}, false);
    return;
  }
  const std::size_t start = word ? positionAfterMove(Qt::Key_Left, true) : lines_.previousPosition(cursor_);
  replaceRange(start, cursor_, {}, false);
}

void QMTextView::deleteForward(bool word) {
  const auto [from, to] = selection();
  if (from != to) {
    replaceRange(from, to, {}, false);
    return;
  }
  const std::size_t end = word ? positionAfterMove(Qt::Key_Right, true) : lines_.nextPosition(cursor_);
  replaceRange(cursor_, end, {}, false);
}

void QMTextView::undo() {
  if (!editable_) return;
  const auto edit = history_.undo();
  if (!edit) return;
  const TextLines::Change change = lines_.replace(edit->position, edit->inserted.size(), edit->removed);
  accessibility_->textReplaced(change, edit->position, edit->inserted, edit->removed);
  cursor_ = edit->cursorBefore;
  anchor_ = edit->anchorBefore;
  ensureCursorVisible();
  changed(change);
}

void QMTextView::redo() {
  if (!editable_) return;
  const auto edit = history_.redo();
  if (!edit) return;
  const TextLines::Change change = lines_.replace(edit->position, edit->removed.size(), edit->inserted);
  accessibility_->textReplaced(change, edit->position, edit->removed, edit->inserted);
  cursor_ = anchor_ = edit->position + edit->inserted.size();
  ensureCursorVisible();
  changed(change);
}

void QMTextView::copy() const {
  const auto [from, to] = selection();
  if (from == to) return;
  QApplication::clipboard()->setText(selectedText());
}

void QMTextView::cut() {
  if (!editable_) return;
  copy();
  const auto [from, to] = selection();
  replaceRange(from, to, {}, false);
}

void QMTextView::paste() {
  if (!editable_) return;
  const QString text = QApplication::clipboard()->text();
  if (text.isEmpty()) return;
  const auto [from, to] = selection();
  replaceRange(from, to, withOwnLineEnds(text), false);
}

bool QMTextView::editByKey(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) return copy(), true;
  if (!editable_) return false;
  if (event->matches(QKeySequence::Cut)) return cut(), true;
  if (event->matches(QKeySequence::Paste)) return paste(), true;
  if (event->matches(QKeySequence::Undo)) return undo(), true;
  if (event->matches(QKeySequence::Redo)) return redo(), true;
  if (event->matches(QKeySequence::DeleteStartOfWord)) return deleteBackward(true), true;
  if (event->matches(QKeySequence::DeleteEndOfWord)) return deleteForward(true), true;
  if (event->matches(QKeySequence::Delete)) return deleteForward(false), true;
  if (event->key() == Qt::Key_Backspace && !(event->modifiers() & ~Qt::ShiftModifier)) return deleteBackward(false), true;
  if (event->matches(QKeySequence::InsertParagraphSeparator) || event->matches(QKeySequence::InsertLineSeparator)) {
    insertText(QStringLiteral("\n"));
    return true;
  }
  const QString text = event->text();
  const bool command = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  if (command || !isInsertable(text)) return false;
  insertText(text);
  return true;
}

void QMTextView::keyPressEvent(QKeyEvent* event) {
  if (moveByKey(event) || editByKey(event)) {
    event->accept();
    return;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

bool QMTextView::event(QEvent* event) {
  // The keys the editor uses are its own while it has the focus, ahead of any shortcut.
  if (event->type() == QEvent::ShortcutOverride) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool command = key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
    static const QKeySequence::StandardKey owned[] = {
        QKeySequence::Copy,  QKeySequence::Cut,     QKeySequence::Paste,  QKeySequence::Undo,
        QKeySequence::Redo,  QKeySequence::SelectAll, QKeySequence::Delete, QKeySequence::DeleteStartOfWord,
        QKeySequence::DeleteEndOfWord, QKeySequence::MoveToStartOfDocument, QKeySequence::MoveToEndOfDocument,
        QKeySequence::MoveToNextWord, QKeySequence::MoveToPreviousWord, QKeySequence::SelectNextWord,
        QKeySequence::SelectPreviousWord, QKeySequence::SelectStartOfDocument, QKeySequence::SelectEndOfDocument};
    const bool ownedKey = std::any_of(std::begin(owned), std::end(owned), [&](auto k) { return key->matches(k); });
    if (ownedKey || (!command && isInsertable(key->text()))) {
      event->accept();
      return true;
    }
  }
  return QAbstractScrollArea::event(event);
}

bool QMTextView::focusNextPrevChild(bool next) {
  // Tab is a character of the text while the text can be typed in.
  if (editable_) return false;
  return QAbstractScrollArea::focusNextPrevChild(next);
}

// --- Mouse ---------------------------------------------------------------------------------------

void QMTextView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  setFocus(Qt::MouseFocusReason);
  selectingWithMouse_ = true;
  setCursorPosition(positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void QMTextView::mouseMoveEvent(QMouseEvent* event) {
  if (!selectingWithMouse_ || !(event->buttons() & Qt::LeftButton)) return;
  setCursorPosition(positionAt(event->position().toPoint()), true);
}

void QMTextView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) selectingWithMouse_ = false;
  QAbstractScrollArea::mouseReleaseEvent(event);
}

void QMTextView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const auto [from, to] = wordAt(positionAt(event->position().toPoint()));
  setCursorPosition(from);
  setCursorPosition(to, true);
}

QMenu* QMTextView::makeContextMenu() {
  auto* menu = new QMenu(this);
  const auto [from, to] = selection();
  const bool selected = from != to;
  const auto add = [&](const QString& title, bool enabled, auto action) {
    QAction* item = menu->addAction(title);
    item->setEnabled(enabled);
    connect(item, &QAction::triggered, this, action);
  };
  add(tr("Undo"), editable_ && canUndo(), [this] { undo(); });
  add(tr("Redo"), editable_ && canRedo(), [this] { redo(); });
  menu->addSeparator();
  add(tr("Cut"), editable_ && selected, [this] { cut(); });
  add(tr("Copy"), selected, [this] { copy(); });
  add(tr("Paste"), editable_ && !QApplication::clipboard()->text().isEmpty(), [this] { paste(); });
  add(tr("Delete"), editable_ && selected, [this] { deleteForward(false); });
  menu->addSeparator();
  add(tr("Select All"), !lines_.text().empty(), [this] { selectAll(); });
  return menu;
}

void QMTextView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = makeContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

}  // namespace app
