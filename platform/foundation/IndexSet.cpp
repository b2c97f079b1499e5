#include "platform/foundation/IndexSet.h"

#include <algorithm>
#include <limits>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace foundation {

namespace {

constexpr std::uint64_t kMaxIndex = std::numeric_limits<std::uint64_t>::max();

// The last index of a non-empty range, without overflowing.
std::uint64_t lastOf(const IndexSet::Range& range) { return range.location + (range.length - 1); }

// Archives are untrusted: a range count past this is refused before anything is allocated.
constexpr std::int64_t kMaxArchivedRanges = 1 << 20;

Error corrupt(const char* why) {
  return Error(kCocoaErrorDomain, kCoderReadCorruptError,
               Dictionary{{kDebugDescriptionErrorKey, Value(std::string("Index set: ") + why)}});
}

}  // namespace

IndexSet IndexSet::indexSetWithIndexesInRange(Range range) {
  IndexSet set;
  set.addIndexesInRange(range);
  return set;
}

IndexSet IndexSet::indexSetWithIndex(std::uint64_t index) { return indexSetWithIndexesInRange({index, 1}); }

void IndexSet::addIndexesInRange(Range range) {
  if (range.length == 0) return;
  // Cut at the largest index; from 0 every length fits.
  if (range.location > 0) range.length = std::min(range.length, kMaxIndex - range.location + 1);
  std::uint64_t first = range.location;
  std::uint64_t last = lastOf(range);
  std::vector<Range> merged;
  merged.reserve(ranges_.size() + 1);
  bool placed = false;
  for (const Range& run : ranges_) {
    const std::uint64_t runLast = lastOf(run);
    // Runs that end before `first` - 1 or start after `last` + 1 stay apart.
    if (runLast != kMaxIndex && runLast + 1 < first) {
      merged.push_back(run);
    } else if (last != kMaxIndex && run.location > last + 1) {
      if (!placed) merged.push_back({first, last - first + 1}), placed = true;
      merged.push_back(run);
    } else {
      first = std::min(first, run.location);
      last = std::max(last, runLast);
    }
  }
  if (!placed) merged.push_back({first, last - first + 1});
  ranges_ = std::move(merged);
}

bool IndexSet::containsIndex(std::uint64_t index) const {
  auto after = std::upper_bound(ranges_.begin(), ranges_.end(), index,
                                [](std::uint64_t i, const Range& run) { return i < run.location; });
  if (after == ranges_.begin()) return false;
  return index <= lastOf(*std::prev(after));
}

std::uint64_t IndexSet::count() const {
  std::uint64_t total = 0;
  for (const Range& run : ranges_) {
    if (total > kMaxIndex - run.length) return kMaxIndex;
    total += run.length;
  }
  return total;
}

void IndexSet::encodeWithCoder(KeyedArchiver& coder) const {
  coder.encodeInt64(static_cast<std::int64_t>(ranges_.size()), "NSRangeCount");
  Array numbers;
  numbers.reserve(ranges_.size() * 2);
  for (const Range& run : ranges_) {
    numbers.emplace_back(static_cast<unsigned long long>(run.location));
    numbers.emplace_back(static_cast<unsigned long long>(run.length));
  }
  coder.encodeObject(Value(std::move(numbers)), "NSRanges");
}

IndexSet::IndexSet(KeyedUnarchiver& coder) {
  const std::int64_t declared = coder.decodeInt64ForKey("NSRangeCount");
  const Value numbers = coder.decodeObjectOfClass(ArchiveClass::Array, "NSRanges");
  if (declared < 0 || declared > kMaxArchivedRanges ||
      numbers.arrayValue().size() != static_cast<std::size_t>(declared) * 2) {
    coder.failWithError(corrupt("the range count does not match the ranges"));
    return;
  }
  const Array& list = numbers.arrayValue();
  for (std::size_t i = 0; i < list.size(); i += 2) {
    if (!list[i].isInteger() || !list[i + 1].isInteger()) {
      coder.failWithError(corrupt("a range is not a pair of integers"));
      ranges_.clear();
      return;
    }
    addIndexesInRange({list[i].uintValue(), list[i + 1].uintValue()});
  }
}

std::string IndexSet::description() const {
  std::string out = "(";
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    if (i) out += ' ';
    out += std::to_string(ranges_[i].location);
    if (ranges_[i].length > 1) out += '-' + std::to_string(lastOf(ranges_[i]));
  }
  return out + ")";
}

bool IndexSet::isEqual(const Object& other) const {
  const auto* set = dynamic_cast<const IndexSet*>(&other);
  return set && *set == *this;
}

namespace {

// Registered when this file is linked in, which every program that makes index sets does.
const bool kIndexSetArchivable = CodingRegistry::registerClass<IndexSet>("NSIndexSet", "", true);

}  // namespace

}  // namespace foundation
