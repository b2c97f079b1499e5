#pragma once
// JSONSerialization stands in for the platform's JSON parser and writer: it turns UTF-8 JSON text
// into a Value graph and back. Objects become Dictionaries (in the order of the text), arrays
// Arrays, true/false Bool Values (never numbers), integers Int (UInt beyond the signed range),
// other numbers Doubles, null the null Value.
//
// What it leaves out: Values are always mutable copies, so the mutability options are accepted
// and have no effect; only UTF-8 input (with or without a byte-order mark) is read.
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace foundation {

// Reading options, the platform's bit values.
enum JSONReadingOptions : unsigned {
  JSONReadingMutableContainers = 1,
  JSONReadingMutableLeaves = 2,
  JSONReadingAllowFragments = 4,  // a top-level scalar is accepted
};

// Writing options, the platform's bit values.
enum JSONWritingOptions : unsigned {
  JSONWritingPrettyPrinted = 1,            // two-space indentation, "key" : value
  JSONWritingSortedKeys = 2,               // dictionary keys in code-point order
  JSONWritingFragmentsAllowed = 4,         // a top-level scalar may be written
  JSONWritingWithoutEscapingSlashes = 8,   // "/" is written bare instead of "\/"
};

// Error codes in the Cocoa domain used by the JSON and property-list serializers.
inline constexpr long kPropertyListReadCorruptError = 3840;
inline constexpr long kPropertyListReadUnknownVersionError = 3841;
inline constexpr long kPropertyListWriteStreamError = 3851;
inline constexpr long kPropertyListWriteInvalidError = 3852;

class JSONSerialization {
 public:
  // Deepest nesting of arrays and dictionaries that reading and writing accept; deeper input is
  // an error rather than a risk to the stack.
  static constexpr int kMaximumDepth = 512;

  // Parses `data` as JSON text. Returns the Value, or nothing on malformed text, a top-level
  // scalar without JSONReadingAllowFragments, or nesting deeper than kMaximumDepth; then *error
  // (when given) is set to a Cocoa-domain error, code 3840, with a debug description.
  // Never throws. Thread-safe.
  static std::optional<Value> JSONObjectWithData(const Data& data, unsigned options = 0, Error* error = nullptr);

  // Writes `value` as UTF-8 JSON text. Fails (nothing returned, *error set to a Cocoa-domain
  // error, code 3852) when the value is not writable: see isValidJSONObject; with
  // JSONWritingFragmentsAllowed a top-level scalar is writable too. Never throws. Thread-safe.
  static std::optional<Data> dataWithJSONObject(const Value& value, unsigned options = 0, Error* error = nullptr);

  // True when `value` can be written without the fragments option: a top-level array or
  // dictionary holding only null, Booleans, finite numbers, valid UTF-8 strings, arrays and
  // dictionaries (no data, dates or objects), no deeper than kMaximumDepth.
  static bool isValidJSONObject(const Value& value);
};

}  // namespace foundation
