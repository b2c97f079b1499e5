#pragma once
// BinaryPropertyListWriter writes a Value in the binary property-list form ("bplist00"). Internal
// to PropertyListSerialization, which documents what it accepts. Equal scalars (strings, numbers,
// dates, data, UIDs) are written once and shared, as the platform's writer does; containers never.
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation::detail {

class BinaryPropertyListWriter {
 public:
  // The bytes of `value`, or nothing with `problem` set to a sentence naming what a binary
  // property list cannot hold (null, objects, invalid UTF-8, dates that are not finite, nesting
  // deeper than 512). Thread-safe.
  static std::optional<Data> write(const Value& value, std::string& problem);

  static constexpr int kMaximumDepth = 512;
};

}  // namespace foundation::detail
