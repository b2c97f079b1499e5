// QMTextView's drag and drop of text, and its scrolling while the mouse is held near or past the
// top or bottom edge (when selecting with the mouse as well as when dragging).
#include <QApplication>
#include <QDrag>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

#include "app/QMTextView.h"

namespace app {

namespace {

constexpr int kAutoScrollIntervalMs = 50;
// The most lines one step scrolls, however far out the mouse is.
constexpr int kAutoScrollMostLines = 20;

}  // namespace

// --- Starting a drag -----------------------------------------------------------------------------

// A press in the selection may become a drag of it: the cursor stays until the button is released
// without one.
bool QMTextView::pressMayStartDrag(const QPoint& point) {
  const auto [from, to] = selection();
  const std::size_t position = positionAt(point);
  if (from == to || position < from || position >= to) return false;
  drag_.pressed = true;
  drag_.pressPoint = point;
  return true;
}

// Whether a mouse move belongs to a press that may start a drag (starting it once the mouse has
// moved far enough).
bool QMTextView::dragStarts(const QPoint& point) {
  if (!drag_.pressed) return false;
  if ((point - drag_.pressPoint).manhattanLength() < QApplication::startDragDistance()) return true;
  drag_.pressed = false;
  startDrag();
  return true;
}

void QMTextView::startDrag() {
  const auto [from, to] = selection();
  if (from == to) return;
  drag_.from = from;
  drag_.to = to;
  drag_.text = lines_.text().substr(from, to - from);
  auto data = std::make_unique<QMimeData>();
  data->setText(QString::fromStdString(drag_.text));
  const Qt::DropActions allowed = editable_ ? Qt::CopyAction | Qt::MoveAction : Qt::CopyAction;
  drag_.running = true;
  drag_.droppedHere = false;
  QPointer<QMTextView> alive(this);
  Qt::DropAction action = Qt::IgnoreAction;
  if (dragLoop_) {
    action = dragLoop_(std::move(data), allowed);
  } else {
    QPointer<QDrag> drag = new QDrag(this);
    drag->setMimeData(data.release());
    action = drag->exec(allowed, editable_ ? Qt::MoveAction : Qt::CopyAction);
    if (drag) drag->deleteLater();
  }
  if (!alive) return;  // the window closed while the drag ran
  drag_.running = false;
  // Moved into another program: the text leaves this one (a drop onto this view has made the
  // whole move itself).
  if (action == Qt::MoveAction && !drag_.droppedHere && dragSourceIntact()) {
    replaceRange(drag_.from, drag_.to, {}, false);
  }
  drag_.text.clear();
}

// Whether the dragged bytes still stand where the drag took them from: a refresh of the hostfile
// may replace the text while the drag runs.
bool QMTextView::dragSourceIntact() const {
  return drag_.to <= lines_.size() && lines_.text().compare(drag_.from, drag_.to - drag_.from, drag_.text) == 0;
}

// --- Dropping ------------------------------------------------------------------------------------

// What a drop here would do: nothing into a read-only view or without text; a copy with Ctrl held;
// else a move of this view's own drag, or what the source proposes.
Qt::DropAction QMTextView::dropActionFor(const QDropEvent& event) const {
  if (!editable_ || !event.mimeData() || !event.mimeData()->hasText()) return Qt::IgnoreAction;
  Qt::DropAction wanted = drag_.running ? Qt::MoveAction : event.proposedAction();
  if (event.modifiers() & Qt::ControlModifier) wanted = Qt::CopyAction;
  const bool plain = wanted == Qt::CopyAction || wanted == Qt::MoveAction;
  if (plain && (event.possibleActions() & wanted)) return wanted;
  return event.possibleActions() & Qt::CopyAction ? Qt::CopyAction : Qt::IgnoreAction;
}

void QMTextView::dragEnterEvent(QDragEnterEvent* event) { dragMoveEvent(event); }

void QMTextView::dragMoveEvent(QDragMoveEvent* event) {
  const Qt::DropAction action = dropActionFor(*event);
  if (action == Qt::IgnoreAction) {
    event->ignore();
    dragLeaveEvent(nullptr);
    return;
  }
  event->setDropAction(action);
  event->accept();
  const QPoint point = event->position().toPoint();
  setDropCaret(positionAt(point));
  autoScrollFor(point, static_cast<int>(std::ceil(lineHeight())));
}

void QMTextView::dragLeaveEvent(QDragLeaveEvent*) {
  stopAutoScroll();
  setDropCaret(std::nullopt);
}

void QMTextView::dropEvent(QDropEvent* event) {
  dragLeaveEvent(nullptr);
  const Qt::DropAction action = dropActionFor(*event);
  if (action == Qt::IgnoreAction) {
    event->ignore();
    return;
  }
  dropText(*event, action);
  event->setDropAction(action);
  event->accept();
}

// Inserts the dropped text at the drop as one edit and selects it. This view's own text keeps its
// bytes; text from elsewhere takes the text's own line ends, as a paste does.
void QMTextView::dropText(const QDropEvent& event, Qt::DropAction action) {
  const std::size_t position = positionAt(event.position().toPoint());
  std::string inserted;
  if (drag_.running) {
    drag_.droppedHere = true;
    if (action == Qt::MoveAction && dragSourceIntact()) {
      moveText(drag_.from, drag_.to, position);
      return;
    }
    inserted = drag_.text;
  } else {
    inserted = withOwnLineEnds(event.mimeData()->text());
  }
  if (inserted.empty()) return;
  replaceRange(position, position, inserted, false);
  setCursorPosition(position);
  setCursorPosition(position + inserted.size(), true);
}

// Moves [from, to) to `position` as one edit, so that one undo takes it back: the stretch between
// the moved text and the drop is rewritten with the two parts swapped. A drop onto the moved text
// itself changes nothing.
void QMTextView::moveText(std::size_t from, std::size_t to, std::size_t position) {
  if (position >= from && position <= to) return;
  const std::string& text = lines_.text();
  const std::string moved = text.substr(from, to - from);
  std::size_t movedTo = position;
  if (position < from) {
    replaceRange(position, to, moved + text.substr(position, from - position), false);
  } else {
    movedTo = position - moved.size();
    replaceRange(from, position, text.substr(to, position - to) + moved, false);
  }
  setCursorPosition(movedTo);
  setCursorPosition(movedTo + moved.size(), true);
}

void QMTextView::setDropCaret(std::optional<std::size_t> position) {
  if (drag_.dropCaret == position) return;
  drag_.dropCaret = position;
  viewport()->update();
}

// Where a drag over the view would drop: a caret of its own, beside the text cursor.
void QMTextView::paintDropCaret(QPainter& painter) {
  if (!drag_.dropCaret) return;
  const std::size_t line = lines_.lineOf(*drag_.dropCaret);
  const auto [first, last] = visibleLines();
  if (line < first || line > last) return;
  const LaidOutLine laidOut = layOut(line, false);
  const QPointF origin(kInset - horizontalScrollBar()->value(), lineTop(line));
  laidOut.layout->drawCursor(&painter, origin, utf16IndexIn(laidOut, *drag_.dropCaret), 1);
}

// --- Scrolling at the edges ----------------------------------------------------------------------

// Scrolls step by step while `point` lies within `margin` of the top or bottom edge or past it;
// stops when it is back inside.
void QMTextView::autoScrollFor(const QPoint& point, int margin) {
  autoScrollPoint_ = point;
  autoScrollMargin_ = margin;
  if (autoScrollLines() == 0) {
    stopAutoScroll();
  } else if (!autoScroll_.isActive()) {
    autoScroll_.start(kAutoScrollIntervalMs, this);
  }
}

void QMTextView::stopAutoScroll() { autoScroll_.stop(); }

QPoint QMTextView::withinEdges(const QPoint& point) const {
  return {point.x(), std::clamp(point.y(), 0, std::max(0, viewport()->height() - 1))};
}

// How many lines a step scrolls (negative: up): one, and one more for each line's height further out.
int QMTextView::autoScrollLines() const {
  const int top = autoScrollMargin_ - autoScrollPoint_.y();
  const int bottom = autoScrollPoint_.y() - (viewport()->height() - 1 - autoScrollMargin_);
  const int beyond = std::max(top, bottom);
  if (beyond <= 0) return 0;
  const int lines = std::min(kAutoScrollMostLines, 1 + static_cast<int>((beyond - 1) / lineHeight()));
  return top > 0 ? -lines : lines;
}

// One step: scroll, then carry the selection or the drop caret to the edge line under the mouse.
void QMTextView::autoScrollStep() {
  if (!selectingWithMouse_ && !drag_.dropCaret) {
    stopAutoScroll();
    return;
  }
  QScrollBar* vertical = verticalScrollBar();
  const int before = vertical->value();
  vertical->setValue(before + autoScrollLines() * vertical->singleStep());
  const std::size_t position = positionAt(withinEdges(autoScrollPoint_));
  if (selectingWithMouse_) {
    setCursorPosition(position, true);
  } else {
    setDropCaret(position);
  }
  if (vertical->value() == before) stopAutoScroll();  // at the top or the end: nothing more to show
}

}  // namespace app
