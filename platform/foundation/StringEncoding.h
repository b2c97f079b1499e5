#pragma once
// StringEncoding stands in for the platform's string encodings and its conversion of a string to
// data. The numbers are the platform's own, so stored settings keep their meaning. Only ASCII,
// UTF-8 and ISO Latin 1 are provided; the others convert to nothing. Thread-safe (no state).
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/Value.h"

namespace foundation {

// One type for every encoding the layer names: text reading (FileManager) reports these too.
enum class StringEncoding : std::uint64_t {
  ASCII = 1,
  UTF8 = 4,
  ISOLatin1 = 5,
  UTF16BigEndian = 0x90000100,
  UTF16LittleEndian = 0x94000100,
};
inline constexpr StringEncoding ASCIIStringEncoding = StringEncoding::ASCII;
inline constexpr StringEncoding UTF8StringEncoding = StringEncoding::UTF8;
inline constexpr StringEncoding ISOLatin1StringEncoding = StringEncoding::ISOLatin1;

// `text` (UTF-8) as bytes in `encoding`. A character the encoding cannot hold, or a byte sequence
// of `text` that is not UTF-8, becomes "?" (U+FFFD in UTF-8) when `allowLossy`, and otherwise
// makes the conversion fail. nullopt on failure and for an encoding not provided.
std::optional<Data> dataUsingEncoding(std::string_view text, StringEncoding encoding, bool allowLossy = false);

}  // namespace foundation
