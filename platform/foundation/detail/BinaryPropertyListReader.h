#pragma once
// BinaryPropertyListReader reads the binary property-list form ("bplist00") into a Value. Internal
// to PropertyListSerialization, which documents the Values it yields.
//
// Files are hostile until read: every object must lie inside the data, references inside the
// object table, nesting no deeper than 512 and never cyclic, and what shared references expand
// to is bounded by an ExpansionBudget. Any breach fails the whole read with a reason.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation::detail {

class BinaryPropertyListReader {
 public:
  // The top object of the `size` bytes at `bytes` (which start with "bplist00"), or nothing with
  // `problem` set to a sentence saying what is wrong. Thread-safe.
  static std::optional<Value> read(const std::uint8_t* bytes, std::size_t size, std::string& problem);

  // Nesting of arrays and dictionaries beyond this is refused.
  static constexpr int kMaximumDepth = 512;
};

}  // namespace foundation::detail
