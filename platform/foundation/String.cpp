#include "platform/foundation/String.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace foundation {

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::u16string utf16(std::string_view utf8Text) {
  std::u16string out;
  out.reserve(utf8Text.size());
  if (isASCII(utf8Text)) {
    for (char c : utf8Text) out.push_back(static_cast<char16_t>(c));
    return out;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8Text.data());
  const auto length = static_cast<int32_t>(utf8Text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    if (U_IS_BMP(c)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  return out;
}

std::string utf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  const auto length = static_cast<int32_t>(units.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U16_NEXT_OR_FFFD(units.data(), i, length, c);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    uint8_t buffer[4];
    int32_t n = 0;
    // c is a valid scalar value here: unpaired surrogates were already replaced.
    U8_APPEND_UNSAFE(buffer, n, c);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
  return out;
}

std::size_t length16(std::string_view text) {
  if (isASCII(text)) return text.size();
  std::size_t count = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    count += U16_LENGTH(c);
  }
  return count;
}

namespace {

Range clip(Range range, std::size_t length) {
  const std::size_t location = std::min(range.location, length);
  return Range{location, std::min(range.length, length - location)};
}

}  // namespace

std::string substring16(std::string_view text, Range range) {
  if (isASCII(text)) {
    const Range r = clip(range, text.size());
    return std::string(text.substr(r.location, r.length));
  }
  const std::u16string units = utf16(text);
  const Range r = clip(range, units.size());
  return utf8(std::u16string_view(units).substr(r.location, r.length));
}

std::string substringFrom16(std::string_view text, std::size_t index) {
  return substring16(text, Range{index, NotFound});
}

std::string substringTo16(std::string_view text, std::size_t index) {
  return substring16(text, Range{0, index});
}

}  // namespace foundation
