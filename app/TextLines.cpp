#include "app/TextLines.h"

#include <algorithm>
#include <cstring>

#include "app/UTF8Text.h"
#include "platform/foundation/String.h"

namespace app {

TextLines::TextLines() : starts_{0} {}

void TextLines::assign(std::string text) {
  // Round-tripping through UTF-16 replaces every malformed sequence; only a malformed text pays.
  if (!isWellFormedUTF8(text)) text = foundation::utf8(foundation::utf16(text));
  text_ = std::move(text);
  starts_.assign(1, 0);
  widest_ = 0;
  indexFrom(0);
}

// Rebuilds the line starts after the start of `line` (which must be right) to the end.
void TextLines::indexFrom(std::size_t line) {
  starts_.resize(line + 1);
  std::size_t from = starts_[line];
  const char* data = text_.data();
  while (true) {
    const void* feed = std::memchr(data + from, '\n', text_.size() - from);
    const std::size_t end = feed ? static_cast<const char*>(feed) - data : text_.size();
    const bool returnBefore = feed && end > from && data[end - 1] == '\r';
    widest_ = std::max(widest_, end - from - (returnBefore ? 1 : 0));
    if (!feed) return;
    from = end + 1;
    starts_.push_back(from);
  }
}

std::size_t TextLines::contentEnd(std::size_t line) const {
  if (line + 1 >= starts_.size()) return text_.size();
  std::size_t end = starts_[line + 1] - 1;  // the line feed
  if (end > starts_[line] && text_[end - 1] == '\r') --end;
  return end;
}

std::string_view TextLines::content(std::size_t line) const {
  const std::size_t start = starts_[line];
  return std::string_view(text_).substr(start, contentEnd(line) - start);
}

std::size_t TextLines::lineOf(std::size_t position) const {
  const auto after = std::upper_bound(starts_.begin(), starts_.end(), position);
  return static_cast<std::size_t>(after - starts_.begin()) - 1;
}

TextLines::Change TextLines::replace(std::size_t position, std::size_t length, std::string_view inserted) {
  position = std::min(position, text_.size());
  length = std::min(length, text_.size() - position);
  Change change;
  change.first = lineOf(position);
  const std::size_t last = lineOf(position + length);
  change.removedLines = last - change.first;
  text_.replace(position, length, inserted);

  // The starts of the lines the edit created, then those after it shifted by the growth.
  std::vector<std::size_t> created;
  for (std::size_t i = 0; i < inserted.size(); ++i) {
    if (inserted[i] == '\n') created.push_back(position + i + 1);
  }
  change.insertedLines = created.size();
  const auto firstAfter = starts_.begin() + static_cast<std::ptrdiff_t>(last + 1);
  const std::ptrdiff_t growth = static_cast<std::ptrdiff_t>(inserted.size()) - static_cast<std::ptrdiff_t>(length);
  for (auto it = firstAfter; it != starts_.end(); ++it) *it = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(*it) + growth);
  const auto removedBegin = starts_.begin() + static_cast<std::ptrdiff_t>(change.first + 1);
  const auto at = starts_.erase(removedBegin, firstAfter);
  starts_.insert(at, created.begin(), created.end());
  for (std::size_t line = change.first; line <= change.first + change.insertedLines; ++line) {
    widest_ = std::max(widest_, contentEnd(line) - starts_[line]);
  }
  return change;
}

std::size_t TextLines::nextPosition(std::size_t position) const {
  if (position >= text_.size()) return text_.size();
  if (text_[position] == '\r' && position + 1 < text_.size() && text_[position + 1] == '\n') return position + 2;
  return std::min(text_.size(), position + sequenceLength(static_cast<unsigned char>(text_[position])));
}

std::size_t TextLines::previousPosition(std::size_t position) const {
  if (position == 0) return 0;
  position = std::min(position, text_.size());
  if (position >= 2 && text_[position - 1] == '\n' && text_[position - 2] == '\r') return position - 2;
  std::size_t before = position - 1;
  while (before > 0 && (static_cast<unsigned char>(text_[before]) & 0xC0) == 0x80) --before;
  return before;
}

}  // namespace app
