#pragma once
// QMTextView is the main window's editor of a hostfile's contents: plain text in a fixed-pitch
// 11-point font (fixedPitchFont), not wrapped (long lines scroll sideways), with a 15-point
// inset, highlighted live by a SyntaxHighlighter. The window shows a hostfile with showText and learns of the
// user's edits through the user-edit handler; showing a text never counts as an edit.
//
// Line endings: the document keeps lines, not their terminators, so a text shown with CR LF line
// ends throughout is given back with CR LF; any other text comes back with "\n".
//
// Main thread only. Copying is forbidden (it is a widget).
#include <QFont>
#include <QPlainTextEdit>

#include <functional>
#include <string>
#include <string_view>

namespace app {

class SyntaxHighlighter;

class QMTextView : public QPlainTextEdit {
  Q_OBJECT

 public:
  // Called after each edit by the user (typing, pasting, cutting, undo) with the whole new text.
  using UserEditHandler = std::function<void(const std::string& text)>;

  // An empty, editable view with its highlighter attached.
  explicit QMTextView(QWidget* parent = nullptr);
  ~QMTextView() override;

  // Replaces the whole text (UTF-8; invalid sequences show as U+FFFD) and whether the user may
  // change it. Clears the undo history. Neither the handler nor userEdited is called.
  void showText(std::string_view text, bool editable);
  // The text as it now stands, UTF-8, with the line ends described above.
  std::string text() const;

  // Whether the user may change the text.
  bool isEditable() const { return !isReadOnly(); }
  void setEditable(bool editable) { setReadOnly(!editable); }

  // The editor's font: `preferred` at `pointSize` points, asked for as fixed-pitch (style hint and
  // flag), when its face sets every printable ASCII character at one advance; else the
  // "monospace" family; else the first family the font database counts as fixed-pitch whose face
  // does. When the machine has no such face, `preferred` as asked. The caller owns the copy.
  static QFont fixedPitchFont(QFont preferred, int pointSize);

  // Replaces the user-edit handler; an empty function removes it.
  void setUserEditHandler(UserEditHandler handler) { userEditHandler_ = std::move(handler); }

  // The highlighter of this view's document. Owned by the document.
  SyntaxHighlighter* highlighter() const { return highlighter_; }

 signals:
  // Emitted after each edit by the user, before the handler is called.
  void userEdited();

 private:
  void textDidChange();

  SyntaxHighlighter* highlighter_ = nullptr;
  UserEditHandler userEditHandler_;
  bool showingText_ = false;
  bool crlfLineEnds_ = false;
};

}  // namespace app
