#pragma once
// SyntaxHighlighter colours hostfile text as it is shown and edited: comments and addresses take
// their colours, and address parts and host names that break the syntax get a dotted red
// underline. It only decides formats; characters are never changed. Lines are highlighted when
// they are first painted and kept until an edit touches them, so showing a text costs the
// visible lines, and an edit costs the lines it touched. The per-line rule is spansForLine
// (LineHighlighting.h).
//
// Main thread only, like the editor that owns it. Not copyable.
#include <QColor>
#include <QString>
#include <QTextCharFormat>
#include <QTextLayout>

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "app/LineHighlighting.h"
#include "app/TextLines.h"

namespace app {

class SyntaxHighlighter {
 public:
  // Colour of valid version-4 addresses, and of every other valid address.
  static QColor ipv4Color();
  static QColor ipv6Color();
  static QColor commentColor();
  // Colour of the dotted underline that marks a bad address part or host name.
  static QColor invalidColor();

  // How many lines are remembered at most; more are forgotten, farthest from the last asked first.
  static constexpr std::size_t kRememberedLines = 16384;

  SyntaxHighlighter() = default;
  SyntaxHighlighter(const SyntaxHighlighter&) = delete;
  SyntaxHighlighter& operator=(const SyntaxHighlighter&) = delete;

  // The formats of line `line`, whose UTF-16 text is `text` (its content; a trailing "\r" of a
  // CR LF line is not part of it), relative to the line's start. Highlights the line when it is
  // not remembered.
  const QList<QTextLayout::FormatRange>& formatsFor(std::size_t line, const QString& text);

  // An edit replaced lines as `change` says: their marks are forgotten, and the lines after them
  // are remembered under their new numbers.
  void linesChanged(const TextLines::Change& change);
  // A new text: every mark is forgotten.
  void reset();

  // How many lines have been highlighted since construction; each edit adds only the lines it
  // touched, once they are painted. For tests and diagnostics.
  std::size_t linesHighlighted() const { return linesHighlighted_; }

  // The formats of one line of text by the rule, without remembering them. Pure.
  static QList<QTextLayout::FormatRange> highlight(const QString& text);

 private:
  void forgetFarFrom(std::size_t line);

  std::unordered_map<std::size_t, QList<QTextLayout::FormatRange>> formats_;
  std::size_t linesHighlighted_ = 0;
};

}  // namespace app
