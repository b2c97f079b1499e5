// QMTextView's part in the primary selection: what the user selects is offered there, and a
// middle click pastes it, where the platform has one.
#include <QApplication>
#include <QClipboard>

#include "app/QMTextView.h"

namespace app {

namespace {

bool clipboardHas(QClipboard::Mode mode) {
  const QClipboard* clipboard = QApplication::clipboard();
  switch (mode) {
    case QClipboard::Clipboard: return true;
    case QClipboard::Selection: return clipboard->supportsSelection();
    case QClipboard::FindBuffer: return clipboard->supportsFindBuffer();
  }
  return false;
}

}  // namespace

// What the user selects is offered as the primary selection; an emptied selection leaves it be.
void QMTextView::publishSelection() const {
  const auto [from, to] = selection();
  if (from == to || !clipboardHas(primaryMode_)) return;
  QApplication::clipboard()->setText(selectedText(), primaryMode_);
}

// A middle click pastes the primary selection at the click, as one edit.
bool QMTextView::pasteSelectionAt(const QPoint& point) {
  if (!editable_ || !clipboardHas(primaryMode_)) return false;
  setFocus(Qt::MouseFocusReason);
  const std::string inserted = withOwnLineEnds(QApplication::clipboard()->text(primaryMode_));
  const std::size_t position = positionAt(point);
  if (inserted.empty()) {
    setCursorPosition(position);
    return true;
  }
  replaceRange(position, position, inserted, false);
  return true;
}

}  // namespace app
