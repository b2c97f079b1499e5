#pragma once
// PropertyListSerialization stands in for the platform's property-list reader and writer, XML
// and binary formats, between bytes and a Value graph. Booleans stay Bool Values, integers Int,
// reals Double, dates Date (binary keeps them to the microsecond; XML, like the platform's, keeps
// whole seconds), data Data, strings, arrays and dictionaries (in file order). Keyed-archive UIDs
// read as a dictionary {"CF$UID": n}, the form XML gives them, and such a dictionary (that single
// key with a non-negative integer) is written back as a UID.
//
// What it leaves out: the OpenStep text format is neither read nor written. Values are always
// mutable copies, so the mutability options have no effect. The underlying library holds
// integers as 64 bits without a sign and dates as 32-bit seconds: integers beyond the signed
// 64-bit range and dates more than about 68 years from 2001 are refused when writing rather than
// written wrong, and such integers in a file read as their signed twins.
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
  // malformed, returns nothing and sets *error (when given) to a Cocoa-domain error, code 3840.
  // Never throws. Thread-safe.
  static std::optional<Value> propertyListWithData(const Data& data, unsigned options = 0,
                                                   PropertyListFormat* format = nullptr,
                                                   Error* error = nullptr);

  // Writes `value` in `format` (XML or binary; `options` is unused, as on the platform). Fails
  // with a Cocoa-domain error, code 3851, when the value holds something a property list cannot
  // (null, objects, invalid UTF-8, out-of-range dates) or the format is OpenStep.
  // Never throws. Thread-safe.
  static std::optional<Data> dataWithPropertyList(const Value& value, PropertyListFormat format,
                                                  unsigned options = 0, Error* error = nullptr);

  // True when dataWithPropertyList would accept `value` for `format`.
  static bool propertyListIsValidForFormat(const Value& value, PropertyListFormat format);
};

}  // namespace foundation
