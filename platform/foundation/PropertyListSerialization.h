#pragma once
// PropertyListSerialization stands in for the platform's property-list reader and writer, XML
// and binary formats, between bytes and a Value graph. Nothing is silently changed on the way:
// Booleans stay Bool Values, integers Int (UInt for those in [2^63, 2^64), as the platform reads
// them), reals Double (-0.0, infinities and NaN included), strings (binary ones may hold NUL),
// data Data, arrays and dictionaries (in file order). Dates are seconds since 2001 in any range:
// binary keeps the exact double, XML whole seconds (rounded down, as the platform writes them).
// Keyed-archive UIDs (up to 64 bits) read as a dictionary {"CF$UID": n}, the form XML gives
// them, and such a dictionary (that single key with a non-negative integer) is written back as
// a UID. Binary sets read as arrays.
//
// Input is hostile until read: nesting (512 levels of arrays and dictionaries),
// cycles, references and offsets outside the data are refused, and so is a result far larger
// than its input (beyond 1 MiB plus 64 times the input's size), which shared references in a
// binary list or entities in XML could otherwise build from a few bytes.
//
// What it leaves out: the OpenStep text format is neither read nor written. Values are always
// mutable copies, so the mutability options have no effect. XML cannot carry NUL or other
// control characters (tab, line feed and carriage return aside), U+FFFE or U+FFFF, nor dates
// outside the years 0000 to 9999: such values are refused when writing XML.
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/JSONSerialization.h"  // the shared 38xx error codes
#include "platform/foundation/Value.h"

namespace foundation {

// The platform's format numbers.
enum class PropertyListFormat : unsigned {
  OpenStep = 1,
  XML = 100,
  Binary = 200,
};

// Mutability options, the platform's values; accepted for compatibility.
enum PropertyListMutabilityOptions : unsigned {
  PropertyListImmutable = 0,
  PropertyListMutableContainers = 1,
  PropertyListMutableContainersAndLeaves = 2,
};

class PropertyListSerialization {
 public:
  // Reads a property list in XML or binary form (the form is detected). Returns the Value and,
  // when `format` is given, stores the form found. On bytes that are neither, or that are
  // malformed, returns nothing and sets *error (when given) to a Cocoa-domain error, code 3840
  // (3841 for an unknown binary version), whose debug description names the fault.
  // Never throws. Thread-safe.
  static std::optional<Value> propertyListWithData(const Data& data, unsigned options = 0,
                                                   PropertyListFormat* format = nullptr,
                                                   Error* error = nullptr);

  // Writes `value` in `format` (XML or binary; `options` is unused, as on the platform). Fails
  // with a Cocoa-domain error, code 3851, whose debug description names the cause, when the
  // value holds something the format cannot (null, objects, invalid UTF-8, dates that are not
  // finite, what XML cannot carry, see above) or the format is OpenStep.
  // Never throws. Thread-safe.
  static std::optional<Data> dataWithPropertyList(const Value& value, PropertyListFormat format,
                                                  unsigned options = 0, Error* error = nullptr);

  // True when dataWithPropertyList would accept `value` for `format`.
  static bool propertyListIsValidForFormat(const Value& value, PropertyListFormat format);
};

}  // namespace foundation
