#pragma once
// QMTextView is the main window's editor of a hostfile's contents: plain text in a fixed-pitch
// 11-point font (fixedPitchFont), not wrapped (long lines scroll sideways), with a 15-point
// inset, highlighted by a SyntaxHighlighter. Hostfiles run to hundreds of thousands of lines, so
// the view paints, lays out and highlights only the lines in sight, and an edit highlights again
// only the lines it touched. The text itself costs more: showing a text is one pass over its
// bytes (the UTF-8 check, the line starts), and an edit (a key, a paste, an undo) moves the bytes
// after it and shifts each later line start (TextLines::replace): linear in what follows the
// edit, though only a memmove and one addition per line. Undo keeps the bytes each edit removed
// and inserted.
//
// The text is kept byte for byte as shown (TextLines): a text is given back with the line ends
// it came with, and Return inserts CR LF into a text whose line ends are all CR LF, LF into any
// other. Positions are byte offsets into the UTF-8 text.
//
// The window shows a hostfile with showText and learns of the user's edits through userEdited,
// which costs nothing per key: it reads text() when it wants the text. Showing a text is never an
// edit. Lines longer than kDisplayedBytes show their first kDisplayedBytes only (a hosts line is
// short; a hostile body of one huge line must not stall every paint).
//
// An input method's text being composed is shown at the cursor, underlined, and its commit is a
// typed edit (QMTextViewInputMethod.cpp). Assistive technologies see an editable text
// (QMTextViewAccessible), which costs an edit nothing while none is active.
// As on other desktop editors: where the platform has a primary selection, selecting with the
// mouse or the keys copies the selected text to it and a middle click pastes it at the click;
// a selection can be dragged (moved, or copied with Ctrl held) and text dropped from elsewhere;
// holding the mouse past the top or bottom edge while selecting or dragging scrolls.
//
// Main thread only. Copying is forbidden (it is a widget).
#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QClipboard>
#include <QFont>
#include <QKeySequence>
#include <QString>
#include <QTextLayout>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/SyntaxHighlighter.h"
#include "app/TextEditHistory.h"
#include "app/TextLines.h"

class QMenu;
class QMimeData;

namespace app {

class QMTextViewAccessibility;

class QMTextView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr int kFontPointSize = 11;
  static constexpr qreal kInset = 15.0;
  static constexpr std::size_t kDisplayedBytes = 16384;

  // An empty, editable view.
  explicit QMTextView(QWidget* parent = nullptr);
  ~QMTextView() override;

  // Replaces the whole text (UTF-8; malformed sequences become U+FFFD) and whether the user may
  // change it: cursor at the start, scrolled to the top, no undo history. Not an edit.
  void showText(std::string text, bool editable);
  // Replaces the text shown with a newer version of the same document (changed elsewhere),
  // keeping the scroll position and the cursor where they still fit. Not an edit; clears the
  // undo history.
  void replaceShownText(std::string text);
  // The text as it now stands, UTF-8. Valid until the next change of the text.
  const std::string& text() const { return lines_.text(); }
  const TextLines& lines() const { return lines_; }
  // How many edits the user has made since the view was made; showing a text does not count.
  std::uint64_t editCount() const { return editCount_; }

  // Whether the user may change the text.
  bool isEditable() const { return editable_; }
  bool isReadOnly() const { return !editable_; }
  void setEditable(bool editable);

  // The editor's font: `preferred` at `pointSize` points, asked for as fixed-pitch (style hint and
  // flag), when its face sets every printable ASCII character at one advance; else the
  // "monospace" family; else the first family the font database counts as fixed-pitch whose face
  // does. When the machine has no such face, `preferred` as asked. The caller owns the copy.
  static QFont fixedPitchFont(QFont preferred, int pointSize);

  const SyntaxHighlighter& highlighter() const { return highlighter_; }
  // The text an input method is composing, shown at the cursor until it is committed; empty
  // when none is. It is not part of text().
  const QString& preeditText() const { return preedit_.text; }
  // The formats line `line` is painted with (highlighting it when it is not yet), a preedit
  // text's included. For tests.
  QList<QTextLayout::FormatRange> formatsOfLine(std::size_t line);
  // The first and the last line in sight.
  std::pair<std::size_t, std::size_t> visibleLines() const;

  // --- Cursor and selection, as the keyboard and the mouse move them ---------------------------
  std::size_t cursorPosition() const { return cursor_; }
  // Moves the cursor to `position` (clamped to the text, and to a character start); with
  // `keepAnchor` the selection stretches to it, else it is cleared. Scrolls it into sight.
  void setCursorPosition(std::size_t position, bool keepAnchor = false);
  // The selected bytes, [first, second); empty when first == second.
  std::pair<std::size_t, std::size_t> selection() const;
  QString selectedText() const;
  void selectAll();

  // --- Edits, as the user makes them: undoable, each an edit (userEdited) ------------------------
  // Replaces the selection with `text` (its line ends become the text's own); nothing when the
  // view is not editable.
  void insertText(const QString& text);
  void undo();
  void redo();
  bool canUndo() const { return history_.canUndo(); }
  bool canRedo() const { return history_.canRedo(); }
  void cut();
  void copy() const;
  void paste();

  // --- Seams for tests -------------------------------------------------------------------------
  // The clipboard mode that selecting fills and a middle click reads: Selection, used only where
  // the platform supports it. A test on a platform without one may name the Clipboard instead.
  void setPrimarySelectionMode(QClipboard::Mode mode) { primaryMode_ = mode; }
  // Runs a drag the view starts: what it carries and the actions it allows in, the action its drop
  // took out. QDrag::exec unless set; that loop blocks until the user lets go, so a test sets one
  // that delivers the drag events itself.
  using DragLoop = std::function<Qt::DropAction(std::unique_ptr<QMimeData>, Qt::DropActions)>;
  void setDragLoop(DragLoop loop) { dragLoop_ = std::move(loop); }

 signals:
  // Emitted after each edit by the user (typing, pasting, cutting, undo and redo).
  void userEdited();

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
  bool focusNextPrevChild(bool next) override;
  void scrollContentsBy(int dx, int dy) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  friend class QMTextViewAccessible;

  // One line laid out for painting or measuring: its shown text and the bytes it covers.
  struct LaidOutLine {
    std::unique_ptr<QTextLayout> layout;
    std::size_t start = 0;      // the line's first byte
    std::size_t shownEnd = 0;   // the byte after the last one shown
    // Where a preedit text was put into the layout (painting only), in UTF-16 units; else -1.
    int preeditAt = -1;
  };
  // What an input method is composing: its text, the cursor within it (-1: hidden) and the
  // formats it asked for, relative to the text.
  struct Preedit {
    QString text;
    int cursor = -1;
    QList<QTextLayout::FormatRange> formats;
  };

  void setText(std::string text);
  LaidOutLine layOut(std::size_t line, bool highlighted) const;
  int utf16IndexIn(const LaidOutLine& line, std::size_t position) const;
  std::size_t positionIn(const LaidOutLine& line, int utf16Index) const;
  qreal lineHeight() const;
  qreal lineTop(std::size_t line) const;
  std::size_t lineAtY(qreal y) const;
  std::size_t positionAt(const QPoint& point) const;
  qreal cursorX(std::size_t position) const;
  void updateScrollBars();
  void ensureCursorVisible();
  // Whether the caret lies inside a viewport of `size` as the view is now scrolled.
  bool caretWithin(const QSize& size) const;
  void restartBlink();
  void paintLine(QPainter& painter, std::size_t line, const std::pair<std::size_t, std::size_t>& selected);

  // What a key does: one row of the table keyPressEvent and the ShortcutOverride both read.
  struct KeyAction;
  static const KeyAction* keyActionFor(const QKeyEvent& event);
  void moveByKey(const KeyAction& action);
  std::size_t targetOf(QKeySequence::StandardKey move) const;
  std::size_t positionAfterMove(int key, bool words) const;
  std::size_t verticalMove(int lines) const;
  std::pair<std::size_t, std::size_t> wordAt(std::size_t position) const;
  void replaceRange(std::size_t from, std::size_t to, const std::string& inserted, bool typed);
  void deleteBackward(bool word);
  void deleteForward(bool word);
  std::string withOwnLineEnds(const QString& text) const;
  void changed(const TextLines::Change& change);
  // After the cursor, the selection or the text changed: tells the input method and assistive
  // technologies.
  void cursorChanged();
  QMenu* makeContextMenu();

  // Input methods (QMTextViewInputMethod.cpp).
  std::pair<std::size_t, std::size_t> surroundingBytes() const;
  void commitInput(const QInputMethodEvent& event);
  void setPreedit(const QInputMethodEvent& event);
  void clearPreedit();
  void insertPreedit(LaidOutLine& line) const;
  int cursorIndexIn(const LaidOutLine& line) const;
  QRect cursorRectangle() const;
  // The primary selection (QMTextViewPrimarySelection.cpp).
  void publishSelection() const;
  bool pasteSelectionAt(const QPoint& point);

  // Drag and drop, and scrolling while the mouse is held near or past an edge
  // (QMTextViewDragDrop.cpp).
  bool pressMayStartDrag(const QPoint& point);
  bool dragStarts(const QPoint& point);
  void startDrag();
  bool dragSourceIntact() const;
  Qt::DropAction dropActionFor(const QDropEvent& event) const;
  void dropText(const QDropEvent& event, Qt::DropAction action);
  void moveText(std::size_t from, std::size_t to, std::size_t position);
  void setDropCaret(std::optional<std::size_t> position);
  void paintDropCaret(QPainter& painter);
  void autoScrollFor(const QPoint& point, int margin);
  int autoScrollLines() const;
  void autoScrollStep();
  void stopAutoScroll();
  // `point` moved up or down to the nearest row of the viewport.
  QPoint withinEdges(const QPoint& point) const;

  TextLines lines_;
  // A cache of line formats: filled as lines are laid out for painting, so also by const code.
  mutable SyntaxHighlighter highlighter_;
  TextEditHistory history_;
  bool editable_ = true;
  bool crlfLineEnds_ = false;
  std::size_t cursor_ = 0;
  std::size_t anchor_ = 0;
  // Where vertical moves aim, in pixels from the text's left edge; negative when unset.
  qreal wantedX_ = -1;
  std::uint64_t editCount_ = 0;
  bool cursorShown_ = true;
  bool selectingWithMouse_ = false;
  QBasicTimer blink_;
  Preedit preedit_;
  std::unique_ptr<QMTextViewAccessibility> accessibility_;
  QClipboard::Mode primaryMode_ = QClipboard::Selection;

  struct DragState {
    bool pressed = false;        // the left button went down in the selection: a drag may start
    QPoint pressPoint;
    bool running = false;        // this view's own drag is under way
    bool droppedHere = false;    // ... and was dropped onto this view, which did the whole edit
    std::size_t from = 0;        // the bytes it carries
    std::size_t to = 0;
    std::string text;
    std::optional<std::size_t> dropCaret;  // where a drag over the view would drop
  };
  DragState drag_;
  DragLoop dragLoop_;
  QBasicTimer autoScroll_;
  QPoint autoScrollPoint_;  // the mouse, in viewport coordinates
  int autoScrollMargin_ = 0;
};

}  // namespace app
