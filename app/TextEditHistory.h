#pragma once
// TextEditHistory is the editor's undo and redo: the edits made to a TextLines, each the bytes
// it removed and inserted at one position with the cursor as it was before. Consecutive typing
// merges into one step, as users expect of undo. The history holds at most its limit of edited
// text (kMaxBytes unless given); older steps are forgotten first.
//
// Main thread only, like the editor. Not copyable.
#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace app {

class TextEditHistory {
 public:
  struct Edit {
    std::size_t position = 0;
    std::string removed;
    std::string inserted;
    // The cursor and the selection's anchor before the edit.
    std::size_t cursorBefore = 0;
    std::size_t anchorBefore = 0;
  };

  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

  explicit TextEditHistory(std::size_t maxBytes = kMaxBytes) : maxBytes_(maxBytes) {}
  TextEditHistory(const TextEditHistory&) = delete;
  TextEditHistory& operator=(const TextEditHistory&) = delete;

  // Records an edit just made; the redo steps are dropped. A `typed` insertion that continues
  // the previous typed one (right after it, nothing removed, no line break) joins its step.
  void record(Edit edit, bool typed);
  // Ends the current run of typing: the next typed insertion starts a step of its own.
  void breakTyping() { typing_ = false; }

  // The step to take back (the caller reverts it), moved to the redo steps; none when empty.
  std::optional<Edit> undo();
  // The step to make again, moved back to the undo steps; none when empty.
  std::optional<Edit> redo();

  bool canUndo() const { return !undo_.empty(); }
  bool canRedo() const { return !redo_.empty(); }
  void clear();

 private:
  static std::size_t bytesOf(const Edit& edit) { return edit.removed.size() + edit.inserted.size(); }
  void trim();

  std::deque<Edit> undo_;
  std::deque<Edit> redo_;
  std::size_t maxBytes_;
  std::size_t bytes_ = 0;
  bool typing_ = false;
};

}  // namespace app
