#include "platform/foundation/StringEncoding.h"

#include <unicode/utf8.h>

#include "platform/foundation/String.h"

namespace foundation {

namespace {

// Calls `visit` with each code point of `text` in order, and with a negative value for each
// byte sequence that is not UTF-8; stops early when `visit` answers false. Answers whether it ran
// to the end.
template <typename Visit>
bool eachCodePoint(std::string_view text, Visit visit) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (!visit(c)) return false;
  }
  return true;
}

// Each character of `text` as one byte when it is at most `highest`, else "?" when lossy.
std::optional<Data> singleByte(std::string_view text, UChar32 highest, bool allowLossy) {
  Data out;
  out.reserve(text.size());
  const bool complete = eachCodePoint(text, [&](UChar32 c) {
    if (c >= 0 && c <= highest) {
      out.push_back(static_cast<std::uint8_t>(c));
    } else if (allowLossy) {
      out.push_back('?');
    } else {
      return false;
    }
    return true;
  });
  if (!complete) return std::nullopt;
  return out;
}

bool isValidUTF8(std::string_view text) {
  return eachCodePoint(text, [](UChar32 c) { return c >= 0; });
}

}  // namespace

std::optional<Data> dataUsingEncoding(std::string_view text, StringEncoding encoding, bool allowLossy) {
  switch (encoding) {
    case ASCIIStringEncoding:
      return singleByte(text, 0x7F, allowLossy);
    case ISOLatin1StringEncoding:
      return singleByte(text, 0xFF, allowLossy);
    case UTF8StringEncoding: {
      if (isValidUTF8(text)) return Data(text.begin(), text.end());
      if (!allowLossy) return std::nullopt;
      const std::string repaired = utf8(utf16(text));  // invalid sequences become U+FFFD
      return Data(repaired.begin(), repaired.end());
    }
    default:
      return std::nullopt;
  }
}

}  // namespace foundation
