#pragma once
// SyntaxHighlighter colours hostfile text in a document as it is edited: comments and addresses
// take their colours, and address parts and host names that break the syntax get a dotted red
// underline. It changes formats only, never characters, and the document re-runs it only for the
// lines (blocks) an edit touched. The per-line rule is spansForLine (LineHighlighting.h).
//
// Main thread only, like the document it is attached to. The document owns it (QObject parent).
#include <QColor>
#include <QSyntaxHighlighter>
#include <QTextCharFormat>

#include <cstddef>

namespace app {

class SyntaxHighlighter : public QSyntaxHighlighter {
  Q_OBJECT

 public:
  // Colour of valid version-4 addresses, and of every other valid address.
  static QColor ipv4Color();
  static QColor ipv6Color();
  static QColor commentColor();
  // Colour of the dotted underline that marks a bad address part or host name.
  static QColor invalidColor();

  // Attaches to `document` (which then owns the highlighter) and highlights its whole text.
  explicit SyntaxHighlighter(QTextDocument* document);

  // How many lines have been highlighted since construction; each edit adds only the lines it
  // touched. For tests and diagnostics.
  std::size_t blocksHighlighted() const { return blocksHighlighted_; }

 protected:
  void highlightBlock(const QString& text) override;

 private:
  void markInvalid(int location, int length);

  std::size_t blocksHighlighted_ = 0;
};

}  // namespace app
