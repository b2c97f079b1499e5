#pragma once
// XMLPropertyListWriter writes a Value as an XML property list (version 1.0, UTF-8, tab indents).
// Internal to PropertyListSerialization, which documents what it accepts.
//
// Text is escaped so that every XML parser reads it back unchanged: "&", "<" and ">" as entities,
// a carriage return as "&#13;" (a raw one would reach readers as a line feed). Reals are written
// in their shortest exact form, -0.0 with its sign; dates as whole seconds, rounded down.
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation::detail {

class XMLPropertyListWriter {
 public:
  // The bytes of `value`, or nothing with `problem` set to a sentence naming what an XML property
  // list cannot hold: null, objects, invalid UTF-8, control characters other than tab, line feed
  // and carriage return (NUL included), U+FFFE and U+FFFF, dates outside the years 0000 to 9999,
  // and nesting deeper than kMaximumDepth. Thread-safe.
  static std::optional<Data> write(const Value& value, std::string& problem);

  // Arrays and dictionaries nested deeper than this are refused, as the readers refuse them.
  static constexpr int kMaximumDepth = 512;
};

}  // namespace foundation::detail
