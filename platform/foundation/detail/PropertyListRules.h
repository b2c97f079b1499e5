#pragma once
// What both property-list writers and readers agree on about Values: which dictionaries stand for
// keyed-archive UIDs, and which strings a property list can hold. Internal to the foundation.
#include <cstdint>
#include <string>

#include <unicode/utf8.h>

#include "platform/foundation/Value.h"

namespace foundation::detail {

// The one key of a dictionary that stands for a UID.
inline constexpr const char* kUIDKey = "CF$UID";

// A dictionary of the single key "CF$UID" with a non-negative integer is how a UID reads; it is
// written back as one, so that keyed archives survive a round trip.
inline bool isUID(const Dictionary& dictionary) {
  if (dictionary.size() != 1) return false;
  const Value* index = dictionary.find(kUIDKey);
  return index && index->isInteger() && (index->type() == Value::Type::UInt || index->intValue() >= 0);
}

// Whether `text` is well-formed UTF-8 (no surrogates, nothing past U+10FFFF, shortest forms).
inline bool isValidUTF8(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto size = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < size) {
    UChar32 c;
    U8_NEXT(text.data(), i, size, c);
    if (c < 0) return false;
  }
  return true;
}

}  // namespace foundation::detail
