#pragma once
// XMLPropertyListReader reads an XML property list into a Value, over the foundation's XML parser
// (libxml2, locked down: nothing outside the document is ever loaded). Internal to
// PropertyListSerialization, which documents the Values it yields.
//
// The document element is <plist> holding one value, or a value element itself. Comments and
// processing instructions are skipped; any other element, text between elements, a key without
// a value, nesting deeper than kMaximumDepth, an integer outside [-2^63, 2^64), an invalid date or Base64 text fails the read with a
// reason. What the document expands to (entities) is bounded by an ExpansionBudget.
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation::detail {

class XMLPropertyListReader {
 public:
  // The value `data` holds, or nothing with `problem` set to a sentence saying what is wrong.
  // Thread-safe.
  static std::optional<Value> read(Data data, std::string& problem);

  // Nesting of arrays and dictionaries beyond this is refused.
  static constexpr int kMaximumDepth = 512;
};

}  // namespace foundation::detail
