#include "app/UTF8Text.h"

#include <cstdint>
#include <cstring>

namespace app {
namespace {

// Eight bytes at a time while they are all ASCII.
std::size_t asciiPrefix(std::string_view bytes, std::size_t from) {
  std::size_t i = from;
  while (i + 8 <= bytes.size()) {
    std::uint64_t chunk;
    std::memcpy(&chunk, bytes.data() + i, 8);
    if (chunk & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed sequence at `i`, or 0 when it is malformed (RFC 3629, table 3-7
// of the Unicode standard).
std::size_t wellFormedAt(std::string_view bytes, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
  const unsigned char lead = at(0);
  const std::size_t left = bytes.size() - i;
  if (lead >= 0xC2 && lead <= 0xDF) return left >= 2 && isContinuation(at(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (left < 3 || !isContinuation(at(2))) return 0;
    const unsigned char second = at(1);
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    return second >= low && second <= high ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (left < 4 || !isContinuation(at(2)) || !isContinuation(at(3))) return 0;
    const unsigned char second = at(1);
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    return second >= low && second <= high ? 4 : 0;
  }
  return 0;
}

}  // namespace

bool isWellFormedUTF8(std::string_view bytes) {
  std::size_t i = 0;
  while (true) {
    i = asciiPrefix(bytes, i);
    if (i == bytes.size()) return true;
    const std::size_t length = wellFormedAt(bytes, i);
    if (length == 0) return false;
    i += length;
  }
}

std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

std::size_t utf16Length(std::string_view bytes) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (true) {
    const std::size_t ascii = asciiPrefix(bytes, i);
    units += ascii - i;
    i = ascii;
    if (i >= bytes.size()) return units;
    const std::size_t length = sequenceLength(static_cast<unsigned char>(bytes[i]));
    units += length == 4 ? 2 : 1;
    i += length;
  }
}

std::size_t byteOffsetOfUTF16(std::string_view bytes, std::size_t index) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t length = sequenceLength(static_cast<unsigned char>(bytes[i]));
    const std::size_t width = length == 4 ? 2 : 1;
    if (units + width > index) return i;
    units += width;
    i += length;
  }
  return bytes.size();
}

}  // namespace app
