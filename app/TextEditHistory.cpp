#include "app/TextEditHistory.h"

namespace app {

void TextEditHistory::record(Edit edit, bool typed) {
  for (const Edit& dropped : redo_) bytes_ -= bytesOf(dropped);
  redo_.clear();
  const bool continues = typed && typing_ && !undo_.empty() && edit.removed.empty() &&
                         edit.inserted.find('\n') == std::string::npos &&
                         undo_.back().position + undo_.back().inserted.size() == edit.position;
  typing_ = typed && edit.inserted.find('\n') == std::string::npos;
  bytes_ += bytesOf(edit);
  if (continues) {
    undo_.back().inserted += edit.inserted;
  } else {
    undo_.push_back(std::move(edit));
  }
  trim();
}

std::optional<TextEditHistory::Edit> TextEditHistory::undo() {
  typing_ = false;
  if (undo_.empty()) return std::nullopt;
  redo_.push_back(std::move(undo_.back()));
  undo_.pop_back();
  return redo_.back();
}

std::optional<TextEditHistory::Edit> TextEditHistory::redo() {
  typing_ = false;
  if (redo_.empty()) return std::nullopt;
  undo_.push_back(std::move(redo_.back()));
  redo_.pop_back();
  return undo_.back();
}

void TextEditHistory::clear() {
  undo_.clear();
  redo_.clear();
  bytes_ = 0;
  typing_ = false;
}

// The newest step is always kept, however large, so that the edit just made can be undone.
void TextEditHistory::trim() {
  while (bytes_ > maxBytes_ && undo_.size() > 1) {
    bytes_ -= bytesOf(undo_.front());
    undo_.pop_front();
  }
}

}  // namespace app
