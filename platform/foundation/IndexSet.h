#pragma once
// IndexSet stands in for the platform's index sets: a set of unsigned integers kept as sorted,
// disjoint, non-adjacent ranges, so that "200 to 299" costs one range. It is a value (copies are
// independent) and an archivable object, registered as "NSIndexSet" with secure coding.
//
// What it leaves out: enumeration with blocks, shifting, and the mutable/immutable class split
// (a const IndexSet is the immutable one).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Coding.h"

namespace foundation {

class IndexSet final : public Coding {
 public:
  // One run of indexes: location, location + 1, ..., location + length - 1.
  struct Range {
    std::uint64_t location = 0;
    std::uint64_t length = 0;
    bool operator==(const Range&) const = default;
  };

  IndexSet() = default;
  // The indexes of `range`; an empty range gives an empty set, a range running past the largest
  // index is cut there.
  static IndexSet indexSetWithIndexesInRange(Range range);
  static IndexSet indexSetWithIndex(std::uint64_t index);
  // Rebuilds an archived set; a malformed record fails the unarchiving (see KeyedUnarchiver).
  explicit IndexSet(KeyedUnarchiver& coder);

  // Adds the indexes of `range` (cut as above), merging it with the runs it touches.
  void addIndexesInRange(Range range);
  void addIndex(std::uint64_t index) { addIndexesInRange({index, 1}); }

  bool containsIndex(std::uint64_t index) const;
  // A negative number is never contained (status codes arrive as int).
  bool containsIndex(long long index) const { return index >= 0 && containsIndex(static_cast<std::uint64_t>(index)); }
  bool containsIndex(int index) const { return containsIndex(static_cast<long long>(index)); }
  // How many indexes the set holds (saturating at the largest count).
  std::uint64_t count() const;
  // The runs, ascending.
  const std::vector<Range>& ranges() const { return ranges_; }

  // Writes the runs under "NSRangeCount" and "NSRanges" (location and length in turn).
  void encodeWithCoder(KeyedArchiver& coder) const override;
  // "(200-299)", "(1 3-4)", "()".
  std::string description() const override;
  bool isEqual(const Object& other) const override;
  bool operator==(const IndexSet& other) const { return ranges_ == other.ranges_; }

 private:
  std::vector<Range> ranges_;
};

}  // namespace foundation
