#pragma once
// The names and limits that KeyedArchiver writes and KeyedUnarchiver reads; internal to the two.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace foundation::keyed_archive {

inline constexpr std::string_view kArchiverKey = "$archiver";
inline constexpr std::string_view kArchiverName = "KeyedArchiver";
inline constexpr std::string_view kVersionKey = "$version";
inline constexpr std::int64_t kVersion = 1;
inline constexpr std::string_view kTopKey = "$top";
inline constexpr std::string_view kRootKey = "root";
inline constexpr std::string_view kObjectsKey = "$objects";
inline constexpr std::string_view kNullMarker = "$null";  // entry 0 of the table; reference 0 is nil
inline constexpr std::string_view kClassKey = "$class";
inline constexpr std::string_view kClassNameKey = "$classname";

// Fields of the built-in records.
inline constexpr std::string_view kObjectsField = "NS.objects";  // arrays, sets, dictionary values
inline constexpr std::string_view kKeysField = "NS.keys";        // dictionary keys
inline constexpr std::string_view kTimeField = "NS.time";        // dates: seconds since 2001, a double
inline constexpr std::string_view kBytesField = "NS.bytes";      // strings a property list cannot hold
inline constexpr std::string_view kUnsignedField = "NS.unsigned";  // integers above the signed range

// The property-list form of a reference: what binary property lists call a UID.
inline constexpr std::string_view kUIDKey = "CF$UID";

// Nesting of objects, containers and records beyond this fails both ways.
inline constexpr int kMaximumDepth = 256;

// A field key as stored: keys beginning with "$" get one more, so they never meet the
// archiver's own "$" names. Unkeyed objects are stored under "$0", "$1", ...
inline std::string escapedKey(const std::string& key) { return !key.empty() && key[0] == '$' ? "$" + key : key; }
inline std::string unkeyedKey(std::size_t index) { return "$" + std::to_string(index); }

inline Value uid(std::uint64_t index) {
  return Value(Dictionary{{std::string(kUIDKey), Value(static_cast<unsigned long long>(index))}});
}

}  // namespace foundation::keyed_archive
