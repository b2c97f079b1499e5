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

// Whether a key types its text: no command modifier, and text to insert.
bool isTyping(const QKeyEvent& event) {
  const bool command = event.modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  return !command && isInsertable(event.text());
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
  viewport()->setAcceptDrops(true);
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
    const int wanted = horizontal->value() + static_cast<int>(std::ceil(x + kInset - viewport()->width()));
    // The range is estimated from the widest line's bytes; tabs and wide characters reach further.
    if (wanted > horizontal->maximum()) horizontal->setMaximum(wanted);
    horizontal->setValue(wanted);
  }
}

// --- Painting ------------------------------------------------------------------------------------

void QMTextView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const auto selected = selection();
  const auto [first, last] = visibleLines();
  for (std::size_t line = first; line <= last; ++line) paintLine(painter, line, selected);
  paintDropCaret(painter);
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
  // A scroll bar that an edit called for appears after the edit has scrolled to the caret, and
  // takes its room from the viewport: a caret that was in sight stays so.
  const bool caretWasInSight = caretWithin(event->oldSize());
  updateScrollBars();
  if (caretWasInSight) ensureCursorVisible();
}

bool QMTextView::caretWithin(const QSize& size) const {
  const qreal x = kInset + cursorX(cursor_) - horizontalScrollBar()->value();
  const QRectF caret(x, lineTop(lines_.lineOf(cursor_)), 1, lineHeight());
  return QRectF(QPointF(0, 0), QSizeF(size)).contains(caret);
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
  publishSelection();
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
  if (event->timerId() == autoScroll_.timerId()) {
    autoScrollStep();
    return;
  }
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
  // A selection by mouse ends with the focus, or its scrolling would go on without a release.
  selectingWithMouse_ = false;
  stopAutoScroll();
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
  // After the scroll bars: scrolled against the old range, the caret could be left out of sight.
  ensureCursorVisible();
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
  changed(change);
}

void QMTextView::redo() {
  if (!editable_) return;
  const auto edit = history_.redo();
  if (!edit) return;
  const TextLines::Change change = lines_.replace(edit->position, edit->removed.size(), edit->inserted);
  accessibility_->textReplaced(change, edit->position, edit->removed, edit->inserted);
  cursor_ = anchor_ = edit->position + edit->inserted.size();
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

// --- Keys ----------------------------------------------------------------------------------------

// One key the editor handles: a move of the cursor to where `move` (a MoveTo* key) says, keeping
// the anchor or stretching the selection, or a command, refused while the view is read-only when
// it changes the text. A row matches its standard key, or when that is UnknownKey its bare key with
// no modifier but Shift. `claimed` keys are the editor's own ahead of the application's shortcuts
// while it has the focus: those that a menu might bind too.
struct QMTextView::KeyAction {
  QKeySequence::StandardKey key = QKeySequence::UnknownKey;
  Qt::Key bareKey = Qt::Key_unknown;
  QKeySequence::StandardKey move = QKeySequence::UnknownKey;
  bool select = false;
  bool vertical = false;
  void (*command)(QMTextView&) = nullptr;
  bool changesText = false;
  bool claimed = false;
};

// The first row that matches the key wins.
const QMTextView::KeyAction* QMTextView::keyActionFor(const QKeyEvent& event) {
  using K = QKeySequence;
  static const KeyAction actions[] = {
      {.key = K::SelectAll, .command = [](QMTextView& v) { v.selectAll(); }, .claimed = true},
      {.key = K::SelectNextChar, .move = K::MoveToNextChar, .select = true},
      {.key = K::MoveToNextChar, .move = K::MoveToNextChar},
      {.key = K::SelectPreviousChar, .move = K::MoveToPreviousChar, .select = true},
      {.key = K::MoveToPreviousChar, .move = K::MoveToPreviousChar},
      {.key = K::SelectNextWord, .move = K::MoveToNextWord, .select = true, .claimed = true},
      {.key = K::MoveToNextWord, .move = K::MoveToNextWord, .claimed = true},
      {.key = K::SelectPreviousWord, .move = K::MoveToPreviousWord, .select = true, .claimed = true},
      {.key = K::MoveToPreviousWord, .move = K::MoveToPreviousWord, .claimed = true},
      {.key = K::SelectNextLine, .move = K::MoveToNextLine, .select = true, .vertical = true},
      {.key = K::MoveToNextLine, .move = K::MoveToNextLine, .vertical = true},
      {.key = K::SelectPreviousLine, .move = K::MoveToPreviousLine, .select = true, .vertical = true},
      {.key = K::MoveToPreviousLine, .move = K::MoveToPreviousLine, .vertical = true},
      {.key = K::SelectNextPage, .move = K::MoveToNextPage, .select = true, .vertical = true},
      {.key = K::MoveToNextPage, .move = K::MoveToNextPage, .vertical = true},
      {.key = K::SelectPreviousPage, .move = K::MoveToPreviousPage, .select = true, .vertical = true},
      {.key = K::MoveToPreviousPage, .move = K::MoveToPreviousPage, .vertical = true},
      {.key = K::SelectStartOfLine, .move = K::MoveToStartOfLine, .select = true},
      {.key = K::MoveToStartOfLine, .move = K::MoveToStartOfLine},
      {.key = K::SelectEndOfLine, .move = K::MoveToEndOfLine, .select = true},
      {.key = K::MoveToEndOfLine, .move = K::MoveToEndOfLine},
      {.key = K::SelectStartOfDocument, .move = K::MoveToStartOfDocument, .select = true, .claimed = true},
      {.key = K::MoveToStartOfDocument, .move = K::MoveToStartOfDocument, .claimed = true},
      {.key = K::SelectEndOfDocument, .move = K::MoveToEndOfDocument, .select = true, .claimed = true},
      {.key = K::MoveToEndOfDocument, .move = K::MoveToEndOfDocument, .claimed = true},
      {.key = K::Copy, .command = [](QMTextView& v) { v.copy(); }, .claimed = true},
      {.key = K::Cut, .command = [](QMTextView& v) { v.cut(); }, .changesText = true, .claimed = true},
      {.key = K::Paste, .command = [](QMTextView& v) { v.paste(); }, .changesText = true, .claimed = true},
      {.key = K::Undo, .command = [](QMTextView& v) { v.undo(); }, .changesText = true, .claimed = true},
      {.key = K::Redo, .command = [](QMTextView& v) { v.redo(); }, .changesText = true, .claimed = true},
      {.key = K::DeleteStartOfWord, .command = [](QMTextView& v) { v.deleteBackward(true); }, .changesText = true,
       .claimed = true},
      {.key = K::DeleteEndOfWord, .command = [](QMTextView& v) { v.deleteForward(true); }, .changesText = true,
       .claimed = true},
      {.key = K::Delete, .command = [](QMTextView& v) { v.deleteForward(false); }, .changesText = true,
       .claimed = true},
      {.bareKey = Qt::Key_Backspace, .command = [](QMTextView& v) { v.deleteBackward(false); }, .changesText = true},
      {.key = K::InsertParagraphSeparator, .command = [](QMTextView& v) { v.insertText(QStringLiteral("\n")); },
       .changesText = true},
      {.key = K::InsertLineSeparator, .command = [](QMTextView& v) { v.insertText(QStringLiteral("\n")); },
       .changesText = true},
  };
  const auto matches = [&event](const KeyAction& action) {
    if (action.key != K::UnknownKey) return event.matches(action.key);
    return event.key() == action.bareKey && !(event.modifiers() & ~Qt::ShiftModifier);
  };
  const auto found = std::find_if(std::begin(actions), std::end(actions), matches);
  return found == std::end(actions) ? nullptr : found;
}

void QMTextView::moveByKey(const KeyAction& action) {
  // Up and down aim for the column the run of vertical moves started at.
  const qreal wanted = wantedX_ >= 0 ? wantedX_ : cursorX(cursor_);
  std::size_t target = targetOf(action.move);
  // Without a selection to extend, a plain left or right first collapses the selection.
  const auto [from, to] = selection();
  if (!action.select && from != to && action.move == QKeySequence::MoveToNextChar) target = to;
  if (!action.select && from != to && action.move == QKeySequence::MoveToPreviousChar) target = from;
  setCursorPosition(target, action.select);
  wantedX_ = action.vertical ? wanted : -1;
  if (action.select) publishSelection();
}

void QMTextView::keyPressEvent(QKeyEvent* event) {
  const KeyAction* action = keyActionFor(*event);
  if (action && (editable_ || !action->changesText)) {
    if (action->command) {
      action->command(*this);
    } else {
      moveByKey(*action);
    }
    event->accept();
    return;
  }
  if (editable_ && isTyping(*event)) {
    insertText(event->text());
    event->accept();
    return;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

bool QMTextView::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    const auto& key = static_cast<const QKeyEvent&>(*event);
    const auto claimed = [&key] {
      const KeyAction* action = keyActionFor(key);
      return action && action->claimed;
    };
    if (isTyping(key) || claimed()) {
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
  const QPoint point = event->position().toPoint();
  if (event->button() == Qt::MiddleButton && pasteSelectionAt(point)) return;
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  setFocus(Qt::MouseFocusReason);
  const bool extend = event->modifiers() & Qt::ShiftModifier;
  if (!extend && pressMayStartDrag(point)) return;
  selectingWithMouse_ = true;
  setCursorPosition(positionAt(point), extend);
}

void QMTextView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return;
  const QPoint point = event->position().toPoint();
  if (dragStarts(point) || !selectingWithMouse_) return;
  // Past the top or bottom edge the selection reaches the edge line, and scrolling carries it on.
  autoScrollFor(point, 0);
  setCursorPosition(positionAt(withinEdges(point)), true);
}

void QMTextView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    // A press in the selection that did not become a drag is a click.
    if (drag_.pressed) setCursorPosition(positionAt(event->position().toPoint()));
    drag_.pressed = false;
    selectingWithMouse_ = false;
    stopAutoScroll();
    publishSelection();
  }
  QAbstractScrollArea::mouseReleaseEvent(event);
}

void QMTextView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const auto [from, to] = wordAt(positionAt(event->position().toPoint()));
  setCursorPosition(from);
  setCursorPosition(to, true);
  publishSelection();
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
