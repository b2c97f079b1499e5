#pragma once
// TextLines is the editor's document: one text, kept as well-formed UTF-8 byte for byte as it was
// given (line ends included), with the position where each line starts. Lines are the pieces
// between line feeds; a carriage return before a line feed ends the line's content but stays in
// the text. Reading a line or the whole text copies nothing. An edit is linear in what follows
// it: the bytes after the edited stretch move (one memmove) and every later line start shifts
// (one pass over them), but the text is never scanned again nor the document rebuilt.
//
// Positions are byte offsets into the text, always at the start of a UTF-8 sequence. Not
// thread-safe; the editor uses it on the main thread. Copyable (a copy is a whole text).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace app {

class TextLines {
 public:
  // Which lines an edit touched: `first` was replaced, with the `removedLines` after it, by
  // `insertedLines` lines after it (so `first` itself always counts once on both sides).
  struct Change {
    std::size_t first = 0;
    std::size_t removedLines = 0;
    std::size_t insertedLines = 0;
  };

  // An empty text: one empty line.
  TextLines();

  // Replaces the whole text. Malformed UTF-8 is repaired first (each bad sequence becomes
  // U+FFFD), so the text may then differ from the bytes given. Takes `text` over without copying
  // when it is well-formed.
  void assign(std::string text);

  const std::string& text() const { return text_; }
  std::size_t size() const { return text_.size(); }
  std::size_t lineCount() const { return starts_.size(); }

  // Where line `line` starts, and where its content ends (before its "\r\n" or "\n", or at the
  // end of the text). `line` must be below lineCount().
  std::size_t lineStart(std::size_t line) const { return starts_[line]; }
  std::size_t contentEnd(std::size_t line) const;
  // The line's content, without its line end.
  std::string_view content(std::size_t line) const;
  // The line that holds `position` (a position at a line's content end belongs to that line).
  std::size_t lineOf(std::size_t position) const;

  // The longest line seen since the last assign, in bytes of content: an upper bound of the
  // current longest (edits that shorten lines do not lower it).
  std::size_t widestLineBytes() const { return widest_; }

  // Replaces `length` bytes at `position` with `inserted` (well-formed UTF-8; both ends of the
  // replaced range must lie at sequence starts). Returns the lines touched. Costs the inserted
  // bytes, a move of the bytes after the range and a pass over the line starts after it.
  Change replace(std::size_t position, std::size_t length, std::string_view inserted);

  // The position after / before the character at `position`: a whole UTF-8 sequence, a whole
  // "\r\n" pair, clamped to the text.
  std::size_t nextPosition(std::size_t position) const;
  std::size_t previousPosition(std::size_t position) const;

 private:
  void indexFrom(std::size_t line);

  std::string text_;
  std::vector<std::size_t> starts_;
  std::size_t widest_ = 0;
};

}  // namespace app
