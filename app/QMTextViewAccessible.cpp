#include "app/QMTextViewAccessible.h"

#include <QAccessible>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLine>

#include <algorithm>
#include <limits>

#include "app/QMTextView.h"
#include "app/UTF8Text.h"

namespace app {

namespace {

QString fromUTF8(std::string_view bytes) { return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())); }

// Qt counts offsets in int; a text beyond that is cut off at its limit rather than wrapped.
int toInt(std::size_t offset) {
  return static_cast<int>(std::min<std::size_t>(offset, std::numeric_limits<int>::max()));
}

bool isContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The piece of the line [lineStart, lineEnd) that holds `position`: the whole line, or for a
// line longer than the view shows, a piece of about that many bytes, so that a hostile line of
// many megabytes is never handed over at once. Pieces start at character starts and never split
// a CR LF pair.
std::pair<std::size_t, std::size_t> pieceAround(std::string_view text, std::size_t lineStart, std::size_t lineEnd,
                                                std::size_t position) {
  constexpr std::size_t kPiece = QMTextView::kDisplayedBytes;
  if (lineEnd - lineStart <= kPiece) return {lineStart, lineEnd};
  const auto boundary = [&](std::size_t piece) {
    std::size_t at = std::min(lineStart + piece * kPiece, lineEnd);
    while (at > lineStart && at < lineEnd && isContinuation(text[at])) --at;
    if (at > lineStart && at < lineEnd && text[at] == '\n' && text[at - 1] == '\r') --at;
    return at;
  };
  std::size_t piece = (std::min(position, lineEnd - 1) - lineStart) / kPiece;
  if (boundary(piece + 1) <= position && position < lineEnd) ++piece;
  return {boundary(piece), boundary(piece + 1)};
}

QTextBoundaryFinder::BoundaryType finderType(QAccessible::TextBoundaryType boundary) {
  switch (boundary) {
    case QAccessible::WordBoundary: return QTextBoundaryFinder::Word;
    case QAccessible::SentenceBoundary: return QTextBoundaryFinder::Sentence;
    default: return QTextBoundaryFinder::Grapheme;
  }
}

QAccessibleInterface* makeInterface(const QString&, QObject* object) {
  auto* view = qobject_cast<QMTextView*>(object);
  return view ? new QMTextViewAccessible(view) : nullptr;
}

}  // namespace

// --- The view's side -----------------------------------------------------------------------------

QMTextViewAccessibility::QMTextViewAccessibility(QMTextView& view) : view_(view) { QMTextViewAccessible::install(); }

void QMTextViewAccessibility::textReset() {
  length_.reset();
  validLines_ = 0;
  pending_.clear();
  reportedCursor_ = -1;
  reportedSelection_ = {-1, -1};
}

void QMTextViewAccessibility::textReplaced(const TextLines::Change& change, std::size_t position,
                                           std::string_view removed, std::string_view inserted) {
  // The lines up to the first one touched start where they did.
  validLines_ = std::min(validLines_, change.first + 1);
  if (!QAccessible::isActive()) {
    length_.reset();
    pending_.clear();
    return;
  }
  if (length_) *length_ = *length_ - utf16Length(removed) + utf16Length(inserted);
  // What comes before the edit did not move, so its offset is the same before and after.
  pending_.push_back({offsetOf(position), fromUTF8(removed), fromUTF8(inserted)});
}

void QMTextViewAccessibility::report() {
  if (!QAccessible::isActive()) {
    pending_.clear();
    return;
  }
  std::vector<PendingChange> changes;
  changes.swap(pending_);
  for (const PendingChange& change : changes) {
    if (!change.removed.isEmpty()) {
      QAccessibleTextRemoveEvent event(&view_, change.offset, change.removed);
      QAccessible::updateAccessibility(&event);
    }
    if (!change.inserted.isEmpty()) {
      QAccessibleTextInsertEvent event(&view_, change.offset, change.inserted);
      QAccessible::updateAccessibility(&event);
    }
  }
  const int cursor = offsetOf(view_.cursorPosition());
  const auto [from, to] = view_.selection();
  const std::pair<int, int> selected{offsetOf(from), offsetOf(to)};
  const bool wasSelected = reportedSelection_.first != reportedSelection_.second;
  if (selected != reportedSelection_ && (selected.first != selected.second || wasSelected)) {
    QAccessibleTextSelectionEvent event(&view_, selected.first, selected.second);
    event.setCursorPosition(cursor);
    QAccessible::updateAccessibility(&event);
  }
  reportedSelection_ = selected;
  if (cursor != reportedCursor_) {
    reportedCursor_ = cursor;
    QAccessibleTextCursorEvent event(&view_, cursor);
    QAccessible::updateAccessibility(&event);
  }
}

std::size_t QMTextViewAccessibility::units() {
  if (!length_) length_ = utf16Length(view_.lines().text());
  return *length_;
}

int QMTextViewAccessibility::length() { return toInt(units()); }

std::size_t QMTextViewAccessibility::lineOffset(std::size_t line) {
  const TextLines& lines = view_.lines();
  if (lineOffsets_.size() < lines.lineCount()) lineOffsets_.resize(lines.lineCount());
  if (validLines_ == 0) {
    lineOffsets_[0] = 0;
    validLines_ = 1;
  }
  const std::string_view text = lines.text();
  for (; validLines_ <= line; ++validLines_) {
    const std::size_t start = lines.lineStart(validLines_ - 1);
    lineOffsets_[validLines_] =
        lineOffsets_[validLines_ - 1] + utf16Length(text.substr(start, lines.lineStart(validLines_) - start));
  }
  return lineOffsets_[line];
}

// The last line that starts at or before `offset`: line starts are filled in only as far as that.
std::size_t QMTextViewAccessibility::lineAtOffset(std::size_t offset) {
  const std::size_t count = view_.lines().lineCount();
  lineOffset(0);
  while (validLines_ < count && lineOffsets_[validLines_ - 1] <= offset) lineOffset(validLines_);
  const auto known = lineOffsets_.begin() + static_cast<std::ptrdiff_t>(validLines_);
  return static_cast<std::size_t>(std::upper_bound(lineOffsets_.begin(), known, offset) - lineOffsets_.begin()) - 1;
}

int QMTextViewAccessibility::offsetOf(std::size_t position) {
  const TextLines& lines = view_.lines();
  position = std::min(position, lines.size());
  // Only an all-ASCII text has as many UTF-16 units as bytes: then the two are the same.
  if (units() == lines.size()) return toInt(position);
  const std::size_t line = lines.lineOf(position);
  const std::size_t start = lines.lineStart(line);
  return toInt(lineOffset(line) + utf16Length(std::string_view(lines.text()).substr(start, position - start)));
}

std::size_t QMTextViewAccessibility::positionOf(int offset) {
  const TextLines& lines = view_.lines();
  const auto wanted = static_cast<std::size_t>(std::max(0, offset));
  if (units() == lines.size()) return std::min(wanted, lines.size());
  const std::size_t line = lineAtOffset(wanted);
  const std::size_t start = lines.lineStart(line);
  const std::size_t end = line + 1 < lines.lineCount() ? lines.lineStart(line + 1) : lines.size();
  const std::string_view bytes = std::string_view(lines.text()).substr(start, end - start);
  return start + byteOffsetOfUTF16(bytes, wanted - lineOffset(line));
}

// --- The interface -------------------------------------------------------------------------------

void QMTextViewAccessible::install() {
  static const bool installed = [] {
    QAccessible::installFactory(makeInterface);
    return true;
  }();
  (void)installed;
}

QMTextViewAccessible::QMTextViewAccessible(QMTextView* view) : QAccessibleWidget(view, QAccessible::EditableText) {}

QMTextView* QMTextViewAccessible::view() const {
  // While the widget is being destroyed its text is gone already.
  return isValid() ? static_cast<QMTextView*>(object()) : nullptr;
}

void* QMTextViewAccessible::interface_cast(QAccessible::InterfaceType type) {
  if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
  if (type == QAccessible::EditableTextInterface) return static_cast<QAccessibleEditableTextInterface*>(this);
  return QAccessibleWidget::interface_cast(type);
}

QAccessible::State QMTextViewAccessible::state() const {
  QAccessible::State state = QAccessibleWidget::state();
  const QMTextView* v = view();
  if (!v) return state;
  state.editable = v->isEditable();
  state.readOnly = !v->isEditable();
  state.multiLine = true;
  state.selectableText = true;
  state.focusable = true;
  return state;
}

QString QMTextViewAccessible::text(QAccessible::Text type) const {
  if (type == QAccessible::Value) return {};
  return QAccessibleWidget::text(type);
}

void QMTextViewAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const {
  *startOffset = *endOffset = 0;
  QMTextView* v = view();
  if (!v || selectionIndex != 0) return;
  const auto [from, to] = v->selection();
  if (from == to) return;
  *startOffset = v->accessibility_->offsetOf(from);
  *endOffset = v->accessibility_->offsetOf(to);
}

int QMTextViewAccessible::selectionCount() const {
  const QMTextView* v = view();
  if (!v) return 0;
  const auto [from, to] = v->selection();
  return from == to ? 0 : 1;
}

void QMTextViewAccessible::addSelection(int startOffset, int endOffset) { setSelection(0, startOffset, endOffset); }

void QMTextViewAccessible::removeSelection(int selectionIndex) {
  QMTextView* v = view();
  if (v && selectionIndex == 0) v->setCursorPosition(v->cursorPosition());
}

void QMTextViewAccessible::setSelection(int selectionIndex, int startOffset, int endOffset) {
  QMTextView* v = view();
  if (!v || selectionIndex != 0) return;
  v->setCursorPosition(v->accessibility_->positionOf(startOffset));
  v->setCursorPosition(v->accessibility_->positionOf(endOffset), true);
}

int QMTextViewAccessible::cursorPosition() const {
  QMTextView* v = view();
  return v ? v->accessibility_->offsetOf(v->cursorPosition()) : 0;
}

void QMTextViewAccessible::setCursorPosition(int position) {
  QMTextView* v = view();
  if (v) v->setCursorPosition(v->accessibility_->positionOf(position));
}

QString QMTextViewAccessible::text(int startOffset, int endOffset) const {
  QMTextView* v = view();
  if (!v || startOffset >= endOffset) return {};
  const std::size_t from = v->accessibility_->positionOf(startOffset);
  const std::size_t to = v->accessibility_->positionOf(endOffset);
  return fromUTF8(std::string_view(v->text()).substr(from, to - from));
}

std::pair<std::size_t, std::size_t> QMTextViewAccessible::segmentAt(std::size_t position,
                                                                    QAccessible::TextBoundaryType boundary) const {
  const TextLines& lines = view()->lines();
  if (boundary == QAccessible::NoBoundary) return {0, lines.size()};
  const std::string_view text = lines.text();
  const std::size_t line = lines.lineOf(position);
  const std::size_t lineEnd = line + 1 < lines.lineCount() ? lines.lineStart(line + 1) : lines.size();
  const auto [from, to] = pieceAround(text, lines.lineStart(line), lineEnd, position);
  if (boundary == QAccessible::LineBoundary || boundary == QAccessible::ParagraphBoundary) return {from, to};
  // Characters, words and sentences: between the boundaries around the position, in its piece.
  const std::string_view piece = text.substr(from, to - from);
  const QString pieceText = fromUTF8(piece);
  const auto index = static_cast<int>(utf16Length(piece.substr(0, position - from)));
  QTextBoundaryFinder finder(finderType(boundary), pieceText);
  finder.setPosition(index);
  int start = index;
  if (!finder.isAtBoundary()) start = std::max(0, static_cast<int>(finder.toPreviousBoundary()));
  finder.setPosition(index);
  qsizetype end = finder.toNextBoundary();
  if (end < 0) end = pieceText.size();
  return {from + byteOffsetOfUTF16(piece, static_cast<std::size_t>(start)),
          from + byteOffsetOfUTF16(piece, static_cast<std::size_t>(end))};
}

QString QMTextViewAccessible::segmentText(std::pair<std::size_t, std::size_t> segment, int* startOffset,
                                          int* endOffset) const {
  QMTextView* v = view();
  *startOffset = v->accessibility_->offsetOf(segment.first);
  *endOffset = v->accessibility_->offsetOf(segment.second);
  return fromUTF8(std::string_view(v->text()).substr(segment.first, segment.second - segment.first));
}

QString QMTextViewAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                                           int* endOffset) const {
  *startOffset = *endOffset = -1;
  QMTextView* v = view();
  if (!v || offset < 0 || offset > v->accessibility_->length()) return {};
  return segmentText(segmentAt(v->accessibility_->positionOf(offset), boundaryType), startOffset, endOffset);
}

QString QMTextViewAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                               int* startOffset, int* endOffset) const {
  *startOffset = *endOffset = -1;
  QMTextView* v = view();
  if (!v || offset < 0 || offset > v->accessibility_->length()) return {};
  const auto at = segmentAt(v->accessibility_->positionOf(offset), boundaryType);
  if (at.first == 0) return {};
  return segmentText(segmentAt(v->lines().previousPosition(at.first), boundaryType), startOffset, endOffset);
}

QString QMTextViewAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                              int* startOffset, int* endOffset) const {
  *startOffset = *endOffset = -1;
  QMTextView* v = view();
  if (!v || offset < 0 || offset > v->accessibility_->length()) return {};
  const auto at = segmentAt(v->accessibility_->positionOf(offset), boundaryType);
  if (at.second >= v->lines().size()) return {};
  return segmentText(segmentAt(at.second, boundaryType), startOffset, endOffset);
}

int QMTextViewAccessible::characterCount() const {
  QMTextView* v = view();
  return v ? v->accessibility_->length() : 0;
}

QRect QMTextViewAccessible::characterRect(int offset) const {
  QMTextView* v = view();
  if (!v) return {};
  const std::size_t position = v->accessibility_->positionOf(offset);
  const std::size_t line = v->lines().lineOf(position);
  const QMTextView::LaidOutLine laidOut = v->layOut(line, false);
  const QTextLine textLine = laidOut.layout->lineAt(0);
  if (!textLine.isValid() || position > laidOut.shownEnd) return {};
  const int index = v->utf16IndexIn(laidOut, position);
  const qreal left = textLine.cursorToX(index);
  const qreal right = textLine.cursorToX(laidOut.layout->nextCursorPosition(index));
  const QRectF local(QMTextView::kInset - v->horizontalScrollBar()->value() + left, v->lineTop(line),
                     std::max<qreal>(1, right - left), v->lineHeight());
  return QRect(v->viewport()->mapToGlobal(local.topLeft().toPoint()), local.size().toSize());
}

int QMTextViewAccessible::offsetAtPoint(const QPoint& point) const {
  QMTextView* v = view();
  if (!v) return -1;
  const QPoint local = v->viewport()->mapFromGlobal(point);
  if (!v->viewport()->rect().contains(local)) return -1;
  return v->accessibility_->offsetOf(v->positionAt(local));
}

void QMTextViewAccessible::scrollToSubstring(int startIndex, int) {
  QMTextView* v = view();
  if (!v) return;
  const std::size_t position = v->accessibility_->positionOf(startIndex);
  const qreal top = v->lineTop(v->lines().lineOf(position));
  QScrollBar* vertical = v->verticalScrollBar();
  if (top < 0 || top + v->lineHeight() > v->viewport()->height()) {
    vertical->setValue(vertical->value() + static_cast<int>(top) - v->viewport()->height() / 2);
  }
  const qreal x = QMTextView::kInset + v->cursorX(position) - v->horizontalScrollBar()->value();
  QScrollBar* horizontal = v->horizontalScrollBar();
  if (x < 0 || x > v->viewport()->width()) {
    horizontal->setValue(horizontal->value() + static_cast<int>(x) - v->viewport()->width() / 2);
  }
}

QString QMTextViewAccessible::attributes(int, int* startOffset, int* endOffset) const {
  *startOffset = 0;
  *endOffset = characterCount();
  return {};
}

void QMTextViewAccessible::replace(int startOffset, int endOffset, const QString& text) {
  QMTextView* v = view();
  if (!v) return;
  std::size_t from = v->accessibility_->positionOf(startOffset);
  std::size_t to = v->accessibility_->positionOf(endOffset);
  if (from > to) std::swap(from, to);
  v->replaceRange(from, to, v->withOwnLineEnds(text), false);
}

void QMTextViewAccessible::deleteText(int startOffset, int endOffset) { replace(startOffset, endOffset, {}); }

void QMTextViewAccessible::insertText(int offset, const QString& text) { replace(offset, offset, text); }

void QMTextViewAccessible::replaceText(int startOffset, int endOffset, const QString& text) {
  replace(startOffset, endOffset, text);
}

}  // namespace app
