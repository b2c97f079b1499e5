#pragma once
// The editor as assistive technologies see it: an editable, multi-line text whose offsets count
// UTF-16 units of the whole text, as Qt's accessibility interfaces define them.
//
// QMTextViewAccessibility is the view's side: it maps the view's byte positions to those offsets
// and tells assistive technologies of edits, caret moves and selection changes. While none is
// active (QAccessible::isActive() false) an edit only marks its offsets stale, in constant time,
// and nothing is reported. No query copies the whole text: in an all-ASCII text (most hostfiles)
// offsets are byte positions; any other keeps the offsets of line starts, filled in on demand and
// dropped from the first line an edit touched.
//
// QMTextViewAccessible is the QAccessibleInterface that Qt is given for every QMTextView
// (installed once, when the first view is made). It answers from the view and edits through it,
// so that its edits are the user's own: undoable, and each a userEdited.
//
// Main thread only, like the view. Neither is copyable.
#include <QAccessibleWidget>
#include <QString>

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "app/TextLines.h"

namespace app {

class QMTextView;

class QMTextViewAccessibility {
 public:
  // Keeps track for `view`, which outlives it; installs the interface factory once.
  explicit QMTextViewAccessibility(QMTextView& view);
  QMTextViewAccessibility(const QMTextViewAccessibility&) = delete;
  QMTextViewAccessibility& operator=(const QMTextViewAccessibility&) = delete;

  // The view's text was replaced as a whole: every offset is stale; nothing is reported.
  void textReset();
  // The view replaced `removed` with `inserted` at byte `position` (`change` the lines touched).
  // Queues the events for report(); while no assistive technology is active, only marks the
  // offsets after the edit stale.
  void textReplaced(const TextLines::Change& change, std::size_t position, std::string_view removed,
                    std::string_view inserted);
  // Sends what changed since the last report, once the view is consistent again: the text
  // removed and inserted, then the selection and the caret when they moved. Nothing while no
  // assistive technology is active.
  void report();

  // The UTF-16 offset of byte `position` (clamped to the text).
  int offsetOf(std::size_t position);
  // The byte position of UTF-16 offset `offset`, clamped to the text; an offset inside a
  // character gives the character's start.
  std::size_t positionOf(int offset);
  // The number of UTF-16 units of the whole text.
  int length();

 private:
  struct PendingChange {
    int offset = 0;
    QString removed;
    QString inserted;
  };

  std::size_t units();
  std::size_t lineOffset(std::size_t line);
  std::size_t lineAtOffset(std::size_t offset);

  QMTextView& view_;
  // The text's UTF-16 length, known once asked for and kept up to date by the reported edits.
  std::optional<std::size_t> length_;
  // lineOffsets_[i] is the UTF-16 offset of line i's start, for the first validLines_ lines.
  std::vector<std::size_t> lineOffsets_;
  std::size_t validLines_ = 0;
  std::vector<PendingChange> pending_;
  // What assistive technologies were last told; -1 when nothing yet.
  int reportedCursor_ = -1;
  std::pair<int, int> reportedSelection_{-1, -1};
};

class QMTextViewAccessible : public QAccessibleWidget,
                             public QAccessibleTextInterface,
                             public QAccessibleEditableTextInterface {
 public:
  // Registers the factory that gives each QMTextView this interface. Once per process.
  static void install();

  explicit QMTextViewAccessible(QMTextView* view);

  void* interface_cast(QAccessible::InterfaceType type) override;
  QAccessible::State state() const override;
  // The text itself is read through the text interface, a range at a time: its value would be a
  // copy of a whole hostfile on every query.
  QString text(QAccessible::Text type) const override;

  // QAccessibleTextInterface. The view has at most one selection.
  void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
  int selectionCount() const override;
  void addSelection(int startOffset, int endOffset) override;
  void removeSelection(int selectionIndex) override;
  void setSelection(int selectionIndex, int startOffset, int endOffset) override;
  int cursorPosition() const override;
  void setCursorPosition(int position) override;
  QString text(int startOffset, int endOffset) const override;
  // Lines and paragraphs are the text's lines with their line ends (a line longer than
  // QMTextView::kDisplayedBytes is taken in pieces of that size); words, sentences and
  // characters are found within them. Offsets outside the text give an empty text and -1, -1.
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                           int* endOffset) const override;
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                          int* endOffset) const override;
  QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                       int* endOffset) const override;
  int characterCount() const override;
  QRect characterRect(int offset) const override;
  int offsetAtPoint(const QPoint& point) const override;
  void scrollToSubstring(int startIndex, int endIndex) override;
  // No attributes are reported: the empty set, over the whole text.
  QString attributes(int offset, int* startOffset, int* endOffset) const override;

  // QAccessibleEditableTextInterface: edits as the user's, nothing when the view is read-only.
  void deleteText(int startOffset, int endOffset) override;
  void insertText(int offset, const QString& text) override;
  void replaceText(int startOffset, int endOffset, const QString& text) override;

 private:
  // The view, or null once it is being destroyed.
  QMTextView* view() const;
  // The byte range of the piece of text around byte `position` that `boundary` delimits.
  std::pair<std::size_t, std::size_t> segmentAt(std::size_t position, QAccessible::TextBoundaryType boundary) const;
  QString segmentText(std::pair<std::size_t, std::size_t> segment, int* startOffset, int* endOffset) const;
  void replace(int startOffset, int endOffset, const QString& text);
};

}  // namespace app
